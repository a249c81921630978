#include "tcpcheck/exchange_text.h"

#include <algorithm>

#include "platform/com/text.h"
#include "tcpcheck/portwick.h"

namespace vorlane::tcpcheck {

namespace {

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The characters after a marker as strtol reads them with base 16. Only two characters are
// there, so a "0x" prefix can never be followed by a digit and reads as 0; a character that is
// not ASCII stops the reading.
uint8_t ReadCode(std::string_view two) {
  size_t at = 0;
  while (at < two.size() && IsSpace(two[at])) ++at;
  bool negative = false;
  if (at < two.size() && (two[at] == '+' || two[at] == '-')) negative = two[at++] == '-';
  uint32_t value = 0;
  for (; at < two.size() && HexDigit(two[at]) >= 0; ++at) value = value * 16 + static_cast<uint32_t>(HexDigit(two[at]));
  return static_cast<uint8_t>(negative ? 0u - value : value);
}

// The length of the character at `at`: a whole UTF-8 sequence, or one byte where none starts.
size_t CharacterLength(std::string_view text, size_t at) {
  const auto lead = static_cast<uint8_t>(text[at]);
  const size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  if (at + length > text.size()) return 1;
  for (size_t i = 1; i < length; ++i) {
    if ((static_cast<uint8_t>(text[at + i]) & 0xC0) != 0x80) return 1;
  }
  return length;
}

std::string DecodePass(std::string_view text, std::string_view marker) {
  std::string out;
  out.reserve(text.size());
  size_t from = 0;
  for (size_t round = 0; round <= text.size(); ++round) {
    const size_t at = text.find(marker, from);
    if (at == std::string_view::npos) {
      out.append(text.substr(from));
      break;
    }
    out.append(text.substr(from, at - from));
    const size_t code = at + marker.size();
    size_t end = code;
    int characters = 0;
    for (; characters < 2 && end < text.size(); ++characters) end += CharacterLength(text, end);
    if (characters < 2) break;  // an incomplete escape ends the text
    if (const uint8_t value = ReadCode(text.substr(code, end - code)); value != 0) out.push_back(static_cast<char>(value));
    from = end;
  }
  return out;
}

std::string_view WithoutLineEnd(std::string_view line) {
  if (line.ends_with('\n')) line.remove_suffix(1);
  if (line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

bool IsControl(char c) {
  const auto byte = static_cast<uint8_t>(c);
  return (byte < 0x20 && c != '\t' && c != '\r' && c != '\n') || byte == 0x7F;
}

bool ReadsAsText(std::string_view received) {
  const std::string_view first = received.substr(0, received.find('\n'));
  return std::none_of(first.begin(), first.end(), IsControl);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "ddd-": the first line of a reply that goes on (FTP, SMTP and their kin).
bool OpensMultiLineReply(std::string_view line) {
  return line.size() >= 4 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]) && line[3] == '-';
}

}  // namespace

std::string DecodeEscapes(std::u16string_view text) {
  if (text.empty()) return {};
  return DecodePass(DecodePass(com::Utf16ToUtf8(text), "\\x"), "\\X");
}

std::string_view TrimBlanks(std::string_view bytes) {
  const size_t first = bytes.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const size_t last = bytes.find_last_not_of(' ');
  return bytes.substr(first, last - first + 1);
}

std::string_view StripTrailingCrLf(std::string_view bytes) {
  if (bytes.size() >= 2 && bytes.ends_with("\r\n")) bytes.remove_suffix(2);
  return bytes;
}

std::string ExpectedBytes(int32_t mode, std::u16string_view text) {
  // Blanks are trimmed from the table's text before its escapes are decoded.
  const size_t first = text.find_first_not_of(u' ');
  if (first == std::u16string_view::npos) return {};
  std::string expected = DecodeEscapes(text.substr(first, text.find_last_not_of(u' ') - first + 1));
  if (mode == kCompareEquals) expected = std::string(TrimBlanks(WithoutLineEnd(expected)));
  return expected;
}

std::optional<size_t> ReplyEnd(std::string_view received) {
  if (received.empty()) return std::nullopt;
  if (!ReadsAsText(received)) return received.size();
  const size_t firstEnd = received.find('\n');
  if (firstEnd == std::string_view::npos) return std::nullopt;
  const std::string_view first = WithoutLineEnd(received.substr(0, firstEnd));
  if (!OpensMultiLineReply(first)) return firstEnd + 1;
  const std::string_view code = first.substr(0, 3);
  for (size_t from = firstEnd + 1; from < received.size();) {
    const size_t end = received.find('\n', from);
    if (end == std::string_view::npos) break;
    const std::string_view line = WithoutLineEnd(received.substr(from, end - from));
    if (line.starts_with(code) && (line.size() == 3 || line[3] == ' ')) return end + 1;
    from = end + 1;
  }
  return std::nullopt;
}

bool ReplyReady(int32_t mode, std::string_view expected, std::string_view received) {
  if (received.empty()) return false;
  // Data without lines is complete in any piece; mode 2 waits for the rest of what it looks for.
  if (mode == kCompareContains && !ReadsAsText(received)) return received.find(expected) != std::string_view::npos;
  return ReplyEnd(received).has_value();
}

bool Mismatch(int32_t mode, std::string_view expected, std::string_view received) {
  if (mode == kCompareContains) return received.find(expected) == std::string_view::npos;
  if (mode == kCompareEquals) return TrimBlanks(WithoutLineEnd(received.substr(0, received.find('\n')))) != expected;
  return false;
}

}  // namespace vorlane::tcpcheck
