// The TCP check's escape decoder on arbitrary UTF-16 text (the input read as little-endian code
// units), and its trimming, CR LF stripping and reply ends on the input as bytes. Decoding writes
// at most three bytes a code unit and leaves ASCII text without a marker as it is; trimming and
// stripping return a view into the bytes that removed only what they name; a reply never ends
// beyond what was received.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "tcpcheck/exchange_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string text;
  for (size_t i = 0; i + 1 < size; i += 2) text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));

  const std::string decoded = vorlane::tcpcheck::DecodeEscapes(text);
  FUZZ_CHECK(decoded.size() <= 3 * text.size());
  bool plainAscii = text.find(u'\\') == std::u16string::npos;
  for (char16_t unit : text) plainAscii = plainAscii && unit < 0x80;
  if (plainAscii) FUZZ_CHECK(decoded == std::string(text.begin(), text.end()));

  const std::string_view whole(reinterpret_cast<const char*>(data), size);
  const std::string_view trimmed = vorlane::tcpcheck::TrimBlanks(whole);
  if (trimmed.empty()) {
    // Nothing but blanks (an empty view need not point into the bytes).
    FUZZ_CHECK(whole.find_first_not_of(' ') == std::string_view::npos);
  } else {
    FUZZ_CHECK(trimmed.data() >= whole.data() && trimmed.data() + trimmed.size() <= whole.data() + whole.size());
    FUZZ_CHECK(trimmed.front() != ' ' && trimmed.back() != ' ');
    const std::string_view before = whole.substr(0, static_cast<size_t>(trimmed.data() - whole.data()));
    const std::string_view after = whole.substr(before.size() + trimmed.size());
    FUZZ_CHECK(before.find_first_not_of(' ') == std::string_view::npos);
    FUZZ_CHECK(after.find_first_not_of(' ') == std::string_view::npos);
  }

  const std::string_view stripped = vorlane::tcpcheck::StripTrailingCrLf(whole);
  if (whole.ends_with("\r\n")) {
    FUZZ_CHECK(stripped.size() + 2 == whole.size());
  } else {
    FUZZ_CHECK(stripped.size() == whole.size());
  }
  FUZZ_CHECK(stripped == whole.substr(0, stripped.size()));

  if (const std::optional<size_t> end = vorlane::tcpcheck::ReplyEnd(whole)) FUZZ_CHECK(*end <= whole.size());
  return 0;
}
