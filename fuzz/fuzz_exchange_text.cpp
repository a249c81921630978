// The TCP check's escape decoder and trimming on arbitrary UTF-16 text (the input read as
// little-endian code units). Decoding never lengthens the text and leaves text without a marker
// alone; trimming and CR LF stripping return a view into the text that removed only what they
// name.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "tcpcheck/exchange_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string text;
  for (size_t i = 0; i + 1 < size; i += 2) text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));

  const std::u16string decoded = vorlane::tcpcheck::DecodeEscapes(text);
  FUZZ_CHECK(decoded.size() <= text.size());
  if (text.find(u'\\') == std::u16string::npos) FUZZ_CHECK(decoded == text);
  // An escape only ever yields a non-zero code unit: a code of 0 contributes nothing.
  if (text.find(u'\0') == std::u16string::npos) FUZZ_CHECK(decoded.find(u'\0') == std::u16string::npos);

  const std::u16string_view whole(text);
  const std::u16string_view trimmed = vorlane::tcpcheck::TrimBlanks(whole);
  if (trimmed.empty()) {
    // Nothing but blanks (an empty view need not point into the text).
    FUZZ_CHECK(whole.find_first_not_of(u' ') == std::u16string_view::npos);
  } else {
    FUZZ_CHECK(trimmed.data() >= whole.data() && trimmed.data() + trimmed.size() <= whole.data() + whole.size());
    FUZZ_CHECK(trimmed.front() != u' ' && trimmed.back() != u' ');
    const std::u16string_view before = whole.substr(0, static_cast<size_t>(trimmed.data() - whole.data()));
    const std::u16string_view after = whole.substr(before.size() + trimmed.size());
    FUZZ_CHECK(before.find_first_not_of(u' ') == std::u16string_view::npos);
    FUZZ_CHECK(after.find_first_not_of(u' ') == std::u16string_view::npos);
  }

  const std::u16string_view stripped = vorlane::tcpcheck::StripTrailingCrLf(whole);
  if (whole.ends_with(u"\r\n")) {
    FUZZ_CHECK(stripped.size() + 2 == whole.size());
  } else {
    FUZZ_CHECK(stripped.size() == whole.size());
  }
  FUZZ_CHECK(stripped == whole.substr(0, stripped.size()));
  return 0;
}
