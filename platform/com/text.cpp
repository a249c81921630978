#include "platform/com/text.h"

#include <cstdint>

#include "platform/base/utf8.h"

namespace vorlane::com {
namespace {

constexpr uint32_t kReplacement = 0xFFFD;
// A byte that is no text travels as U+DC00 + byte; only 0x80..0xFF ever need it, as every byte
// below 0x80 is a character of its own.
constexpr char16_t kEscapeBase = 0xDC00;
constexpr char16_t kFirstEscape = 0xDC80;
constexpr char16_t kLastEscape = 0xDCFF;

void AppendUtf16(std::u16string& out, uint32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    // Protocol text is mostly ASCII: a run of it is taken without decoding.
    size_t ascii = i;
    while (ascii < utf8.size() && static_cast<uint8_t>(utf8[ascii]) < 0x80) ++ascii;
    if (ascii > i) {
      out.append(utf8.begin() + static_cast<std::ptrdiff_t>(i), utf8.begin() + static_cast<std::ptrdiff_t>(ascii));
      i = ascii;
      continue;
    }
    const utf8::Sequence sequence = utf8::DecodeAt(utf8, i);
    if (sequence.length != 0) {
      AppendUtf16(out, sequence.value);
      i += sequence.length;
    } else {
      // Escaping one byte and going on with the next is the same as escaping each byte of the
      // maximal ill-formed part: its further bytes are continuation bytes, which start nothing.
      out.push_back(static_cast<char16_t>(kEscapeBase + static_cast<uint8_t>(utf8[i])));
      ++i;
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    const char16_t c = utf16[i];
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (IsHighSurrogate(c) && i + 1 < utf16.size() && IsLowSurrogate(utf16[i + 1])) {
      utf8::AppendUtf8(out, 0x10000 + ((static_cast<uint32_t>(c) - 0xD800) << 10) + (utf16[i + 1] - 0xDC00u));
      ++i;
    } else if (c >= kFirstEscape && c <= kLastEscape) {
      out.push_back(static_cast<char>(c - kEscapeBase));
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      utf8::AppendUtf8(out, kReplacement);
    } else {
      utf8::AppendUtf8(out, c);
    }
  }
  return out;
}

}  // namespace vorlane::com
