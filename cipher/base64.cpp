#include "cipher/base64.h"

#include <array>
#include <cctype>
#include <climits>

namespace vorlane::cipher {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int8_t kNotInAlphabet = -1;

constexpr std::array<int8_t, 256> BuildDecodeTable() {
  std::array<int8_t, 256> table{};
  table.fill(kNotInAlphabet);
  for (int i = 0; i < 64; ++i)
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  return table;
}

constexpr std::array<int8_t, 256> kDecode = BuildDecodeTable();

// Only 7-bit characters count: isspace() on a byte above 0x7f would depend on the locale, and
// passing it as a negative char is undefined.
bool IsSpace(unsigned char c) { return c < 0x80 && std::isspace(c) != 0; }

// Encoded length without terminator, or nothing if it would not fit in an int.
std::optional<size_t> EncodedLength(size_t srcLen) {
  const size_t groups = srcLen / 3 + (srcLen % 3 != 0 ? 1 : 0);
  if (groups > static_cast<size_t>(INT_MAX) / 4) return std::nullopt;
  return groups * 4;
}

}  // namespace

int Base64Encode(const uint8_t* src, size_t srcLen, char* dst, size_t dstSize) {
  const std::optional<size_t> length = EncodedLength(srcLen);
  if (!length || *length >= dstSize) return -1;

  char* out = dst;
  size_t i = 0;
  for (; i + 3 <= srcLen; i += 3) {
    const uint32_t bits = (uint32_t{src[i]} << 16) | (uint32_t{src[i + 1]} << 8) | src[i + 2];
    *out++ = kAlphabet[(bits >> 18) & 0x3f];
    *out++ = kAlphabet[(bits >> 12) & 0x3f];
    *out++ = kAlphabet[(bits >> 6) & 0x3f];
    *out++ = kAlphabet[bits & 0x3f];
  }
  const size_t rest = srcLen - i;
  if (rest != 0) {
    const uint32_t bits = (uint32_t{src[i]} << 16) | (rest == 2 ? uint32_t{src[i + 1]} << 8 : 0);
    *out++ = kAlphabet[(bits >> 18) & 0x3f];
    *out++ = kAlphabet[(bits >> 12) & 0x3f];
    *out++ = rest == 2 ? kAlphabet[(bits >> 6) & 0x3f] : '=';
    *out++ = '=';
  }
  *out = '\0';
  return static_cast<int>(*length);
}

int Base64Decode(std::string_view text, uint8_t* dst, size_t dstSize) {
  // The count is returned as an int, so never store more than an int can report.
  const size_t limit =
      dstSize < static_cast<size_t>(INT_MAX) ? dstSize : static_cast<size_t>(INT_MAX);
  size_t stored = 0;
  uint32_t pending = 0;  // bits decoded but not yet stored, in the low `pendingBits` bits
  int pendingBits = 0;
  int groupChars = 0;  // characters of the current group of four seen so far

  size_t pos = 0;
  for (; pos < text.size(); ++pos) {
    const auto c = static_cast<unsigned char>(text[pos]);
    if (IsSpace(c)) continue;
    if (c == '=') break;
    const int value = kDecode[c];
    if (value == kNotInAlphabet) return -1;

    pending = (pending << 6) | static_cast<uint32_t>(value);
    pendingBits += 6;
    groupChars = (groupChars + 1) % 4;
    if (pendingBits >= 8) {
      pendingBits -= 8;
      if (stored >= limit) return -1;
      dst[stored++] = static_cast<uint8_t>(pending >> pendingBits);
      pending &= (1u << pendingBits) - 1;
    }
  }

  if (pos == text.size()) return groupChars == 0 ? static_cast<int>(stored) : -1;

  // At the first "=": it must complete a group that has two or three data characters.
  if (groupChars != 2 && groupChars != 3) return -1;
  ++pos;
  if (groupChars == 2) {
    while (pos < text.size() && IsSpace(static_cast<unsigned char>(text[pos]))) ++pos;
    if (pos == text.size() || text[pos] != '=') return -1;
    ++pos;
  }
  for (; pos < text.size(); ++pos) {
    if (!IsSpace(static_cast<unsigned char>(text[pos]))) return -1;
  }
  // Canonical encoders leave the bits below the last full byte zero; anything else is not an
  // encoding of the bytes we stored.
  if (pending != 0) return -1;
  return static_cast<int>(stored);
}

std::string Base64EncodeToString(std::span<const uint8_t> src) {
  const std::optional<size_t> length = EncodedLength(src.size());
  if (!length) return {};
  std::string text(*length + 1, '\0');
  Base64Encode(src.data(), src.size(), text.data(), text.size());
  text.resize(*length);
  return text;
}

std::optional<std::string> Base64DecodeToString(std::string_view text) {
  // Every four characters give at most three bytes; the +3 covers a trailing partial group.
  std::string bytes(text.size() / 4 * 3 + 3, '\0');
  const int n = Base64Decode(text, reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
  if (n < 0) return std::nullopt;
  bytes.resize(static_cast<size_t>(n));
  return bytes;
}

}  // namespace vorlane::cipher
