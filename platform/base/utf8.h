// Reading UTF-8 one sequence at a time, and writing it. The text conversions of the component runtime, the debug
// log and the cuts of answers must agree on which bytes are text and which are not, so all of
// them decide it here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorlane::utf8 {

// One well-formed sequence: its scalar value and how many bytes encode it.
struct Sequence {
  char32_t value = 0;
  size_t length = 0;  // 0: no well-formed sequence starts here
};

// The well-formed sequence that starts at text[at] (at < text.size()), as Unicode defines it
// (table 3-7): no overlong forms, no encoded surrogates (ED A0..BF ..), nothing above U+10FFFF,
// and a sequence cut short by the end of `text` or by a byte out of range is none.
constexpr Sequence DecodeAt(std::string_view text, size_t at) {
  const auto lead = static_cast<uint8_t>(text[at]);
  if (lead < 0x80) return {lead, 1};
  // The range of the second byte is narrowed for the leads whose shortest sequences would
  // otherwise admit overlong forms, encoded surrogates or values past U+10FFFF.
  size_t trail = 0;
  char32_t value = 0;
  uint8_t low = 0x80;
  uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trail = 2;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trail = 3;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {};  // a continuation byte, C0, C1 or F5..FF
  }
  if (text.size() - at <= trail) return {};
  for (size_t k = 1; k <= trail; ++k) {
    const auto byte = static_cast<uint8_t>(text[at + k]);
    if (byte < (k == 1 ? low : 0x80) || byte > (k == 1 ? high : 0xBF)) return {};
    value = value << 6 | (byte & 0x3F);
  }
  return {value, trail + 1};
}

// Appends the UTF-8 encoding of `value` (at most U+10FFFF) to `out`.
inline void AppendUtf8(std::string& out, char32_t value) {
  if (value < 0x80) {
    out.push_back(static_cast<char>(value));
  } else if (value < 0x800) {
    out.push_back(static_cast<char>(0xC0 | value >> 6));
    out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
  } else if (value < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | value >> 12));
    out.push_back(static_cast<char>(0x80 | (value >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | value >> 18));
    out.push_back(static_cast<char>(0x80 | (value >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (value >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
  }
}

// The length of the longest prefix of `text` no longer than `limit` that splits no well-formed
// sequence. A byte that belongs to no such sequence is a unit of its own and may end the prefix:
// bytes are carried as they came, so a cut keeps as many of them as fit.
constexpr size_t CutPoint(std::string_view text, size_t limit) {
  if (limit >= text.size()) return text.size();
  // Only a sequence that begins in the last three bytes before the limit can reach across it. A
  // lead byte is never inside another well-formed sequence, so where one begins is decided
  // locally.
  for (size_t back = 1; back <= 3 && back <= limit; ++back) {
    if (DecodeAt(text, limit - back).length > back) return limit - back;
  }
  return limit;
}

}  // namespace vorlane::utf8
