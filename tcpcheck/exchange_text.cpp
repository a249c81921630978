#include "tcpcheck/exchange_text.h"

#include <cstdint>

namespace vorlane::tcpcheck {

namespace {

bool IsSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// The two characters after a marker as strtol reads them with base 16. Only two characters are
// there, so a "0x" prefix can never be followed by a digit and reads as 0.
uint16_t ReadCode(std::u16string_view two) {
  size_t at = 0;
  while (at < two.size() && IsSpace(two[at])) ++at;
  bool negative = false;
  if (at < two.size() && (two[at] == u'+' || two[at] == u'-')) negative = two[at++] == u'-';
  uint32_t value = 0;
  for (; at < two.size() && HexDigit(two[at]) >= 0; ++at) value = value * 16 + static_cast<uint32_t>(HexDigit(two[at]));
  return static_cast<uint16_t>(negative ? 0u - value : value);
}

std::u16string DecodePass(std::u16string_view text, std::u16string_view marker) {
  std::u16string out;
  out.reserve(text.size());
  size_t from = 0;
  for (size_t round = 0; round <= text.size(); ++round) {
    const size_t at = text.find(marker, from);
    if (at == std::u16string_view::npos) {
      out.append(text.substr(from));
      break;
    }
    out.append(text.substr(from, at - from));
    const size_t code = at + marker.size();
    if (text.size() - code < 2) break;  // an incomplete escape ends the text
    if (const uint16_t value = ReadCode(text.substr(code, 2)); value != 0) out.push_back(static_cast<char16_t>(value));
    from = code + 2;
  }
  return out;
}

}  // namespace

std::u16string DecodeEscapes(std::u16string_view text) {
  if (text.empty()) return {};
  return DecodePass(DecodePass(text, u"\\x"), u"\\X");
}

std::u16string_view TrimBlanks(std::u16string_view text) {
  const size_t first = text.find_first_not_of(u' ');
  if (first == std::u16string_view::npos) return {};
  const size_t last = text.find_last_not_of(u' ');
  return text.substr(first, last - first + 1);
}

std::u16string_view StripTrailingCrLf(std::u16string_view text) {
  if (text.size() >= 2 && text.ends_with(u"\r\n")) text.remove_suffix(2);
  return text;
}

}  // namespace vorlane::tcpcheck
