#include "platform/com/text.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>

namespace vorlane::com {
namespace {

// The UTF-16 form of one scalar value.
std::u16string Utf16Of(uint32_t cp) {
  if (cp < 0x10000) return std::u16string(1, static_cast<char16_t>(cp));
  return {static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)),
          static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF))};
}

// Checks the one promise that holds for every byte string: bytes -> UTF-16 -> bytes is the
// identity. The UTF-16 holds no lone high surrogate and no lone low one outside the escapes, so
// it comes back the same from its own bytes too.
void ExpectBytesRoundTrip(const std::string& bytes) {
  const std::u16string utf16 = Utf8ToUtf16(bytes);
  ASSERT_EQ(Utf16ToUtf8(utf16), bytes) << testing::PrintToString(bytes);
  for (size_t i = 0; i < utf16.size(); ++i) {
    const char16_t c = utf16[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      ASSERT_TRUE(i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF)
          << "lone high surrogate from " << testing::PrintToString(bytes);
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      ASSERT_GE(c, 0xDC80) << testing::PrintToString(bytes);
      ASSERT_LE(c, 0xDCFF) << testing::PrintToString(bytes);
    }
  }
  ASSERT_EQ(Utf8ToUtf16(Utf16ToUtf8(utf16)), utf16) << testing::PrintToString(bytes);
}

TEST(Text, EveryScalarValueRoundTrips) {
  for (uint32_t cp = 1; cp <= 0x10FFFF; cp += (cp < 0x1000 ? 1 : 61)) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    const std::u16string utf16 = Utf16Of(cp);
    const std::string utf8 = Utf16ToUtf8(utf16);
    ASSERT_EQ(utf8.size(), cp < 0x80 ? 1u : cp < 0x800 ? 2u : cp < 0x10000 ? 3u : 4u) << cp;
    ASSERT_EQ(Utf8ToUtf16(utf8), utf16) << cp;
  }
}

TEST(Text, EachByteOfAnIllFormedSequenceIsEscapedOnItsOwn) {
  const struct {
    std::string utf8;
    std::u16string expected;
  } cases[] = {
      // Well-formed at the edges of each range: characters as they are.
      {"\xC2\x80", u"\u0080"},
      {"\xDF\xBF", u"\u07FF"},
      {"\xE0\xA0\x80", u"\u0800"},
      {"\xED\x9F\xBF", u"\uD7FF"},  // last before the surrogates
      {"\xEE\x80\x80", u"\uE000"},  // first after them
      {"\xEF\xBF\xBD", u"\uFFFD"},  // a replacement character sent as such stays one
      {"\xF0\x90\x80\x80", {0xD800, 0xDC00}},
      {"\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}},
      // Latin-1 and other single bytes that are no text.
      {"caf\xE9", {u'c', u'a', u'f', 0xDCE9}},
      {"\x80", {0xDC80}},                          // stray continuation byte
      {"\xBF\xBF", {0xDCBF, 0xDCBF}},
      {"\xFF" "ok", {0xDCFF, u'o', u'k'}},
      {"\xF5\x80\x80\x80", {0xDCF5, 0xDC80, 0xDC80, 0xDC80}},  // F5..FF lead nothing
      {"\xF8\x88\x80\x80\x80", {0xDCF8, 0xDC88, 0xDC80, 0xDC80, 0xDC80}},
      {"\xFE\xFF", {0xDCFE, 0xDCFF}},
      // Overlong forms, with C0 and C1 that can only ever start one.
      {"\xC0\xAF", {0xDCC0, 0xDCAF}},              // '/'
      {"\xC0\x80", {0xDCC0, 0xDC80}},              // NUL
      {"\xC1\xBF", {0xDCC1, 0xDCBF}},
      {"\xE0\x80\xAF", {0xDCE0, 0xDC80, 0xDCAF}},
      {"\xE0\x9F\xBF", {0xDCE0, 0xDC9F, 0xDCBF}},
      {"\xF0\x8F\xBF\xBF", {0xDCF0, 0xDC8F, 0xDCBF, 0xDCBF}},
      // Encoded surrogates: well-formed in shape, but no scalar value, so three bytes each.
      {"\xED\xA0\x80", {0xDCED, 0xDCA0, 0xDC80}},
      {"\xED\xB0\x80", {0xDCED, 0xDCB0, 0xDC80}},  // would otherwise read as the escape of 0x80
      {"\xED\xB3\xA9", {0xDCED, 0xDCB3, 0xDCA9}},  // ... and this as the escape of 0xE9
      {"\xED\xBF\xBF", {0xDCED, 0xDCBF, 0xDCBF}},
      {"\xED\xA0\xBD\xED\xB8\x80", {0xDCED, 0xDCA0, 0xDCBD, 0xDCED, 0xDCB8, 0xDC80}},  // an encoded pair
      // Beyond U+10FFFF.
      {"\xF4\x90\x80\x80", {0xDCF4, 0xDC90, 0xDC80, 0xDC80}},
      {"\xF4\xBF\xBF\xBF", {0xDCF4, 0xDCBF, 0xDCBF, 0xDCBF}},
      // Truncated sequences, at the end and before another byte; decoding goes on at the byte
      // that broke the sequence.
      {"a\xC3", {u'a', 0xDCC3}},
      {"\xE2\x82", {0xDCE2, 0xDC82}},
      {"\xF0\x9F\x98", {0xDCF0, 0xDC9F, 0xDC98}},
      {"\xE2\x82" "A", {0xDCE2, 0xDC82, u'A'}},
      {"\xE2\x82\xE2\x82\xAC", {0xDCE2, 0xDC82, 0x20AC}},
      {"\xC3\xC3\xA9", {0xDCC3, 0xE9}},
      {"\xF0\x9F\x98\xF0\x9F\x98\x80", {0xDCF0, 0xDC9F, 0xDC98, 0xD83D, 0xDE00}},
      // Escapes next to pairs never join them.
      {"\xF0\x9F\x98\x80\x80", {0xD83D, 0xDE00, 0xDC80}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf8ToUtf16(c.utf8), c.expected) << testing::PrintToString(c.utf8);
    EXPECT_EQ(Utf16ToUtf8(c.expected), c.utf8) << testing::PrintToString(c.utf8);
  }
}

TEST(Text, LoneSurrogatesOutsideTheEscapesBecomeReplacementCharacters) {
  const std::string replacement = "\xEF\xBF\xBD";
  const struct {
    std::u16string utf16;
    std::string expected;
  } cases[] = {
      {{0xD800, u'a'}, replacement + "a"},
      {{u'a', 0xD83D}, "a" + replacement},
      {{0xDE00, 0xD83D}, replacement + replacement},  // wrong order
      {{0xDC00}, replacement},                         // low surrogates below the escapes ...
      {{0xDC7F}, replacement},                         // ... (they would stand for ASCII)
      {{0xDD00}, replacement},                         // ... and above them
      {{0xDFFF}, replacement},
      {{0xDC80}, "\x80"},                              // the escapes: their bytes
      {{0xDCFF}, "\xFF"},
      {{u'x', 0xDCE9, u'y'}, "x\xE9y"},
      {{0xD83D, 0xDC80}, "\xF0\x9F\x92\x80"},          // after a high surrogate it is a pair
      {{0xDBFF, 0xDCFF}, "\xF4\x8F\xB3\xBF"},
  };
  for (const auto& c : cases) EXPECT_EQ(Utf16ToUtf8(c.utf16), c.expected) << testing::PrintToString(c.expected);
}

TEST(Text, EscapedBytesComeBackAsTheyWentUnlessTogetherTheyAreText) {
  const struct {
    std::u16string utf16;
    std::u16string back;
  } cases[] = {
      {{0xDC80}, {0xDC80}},
      {{u'c', u'a', u'f', 0xDCE9}, {u'c', u'a', u'f', 0xDCE9}},
      {{0xE9, 0xDCA9}, {0xE9, 0xDCA9}},          // a character and then a stray byte
      {{0xDCC3, 0xA9}, {0xDCC3, 0xA9}},          // a lead byte and then a character
      {{0xDCC3, 0xDCC3}, {0xDCC3, 0xDCC3}},
      {{0xDCED, 0xDCB0, 0xDC80}, {0xDCED, 0xDCB0, 0xDC80}},
      // Escaped bytes that together are a well-formed sequence read back as that character,
      // as they do in Python: text that Utf8ToUtf16 made never holds such a run.
      {{0xDCC3, 0xDCA9}, {0xE9}},
      {{0xDCE2, 0xDC82, 0xDCAC}, {0x20AC}},
      {{0xDCF0, 0xDC9F, 0xDC98, 0xDC80}, {0xD83D, 0xDE00}},
      {{0xDCC3, 0xDCA9, 0xDCA9}, {0xE9, 0xDCA9}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(c.utf16)), c.back) << testing::PrintToString(Utf16ToUtf8(c.utf16));
  }
}

TEST(Text, EveryOneAndTwoByteStringRoundTrips) {
  std::string bytes(1, '\0');
  for (int a = 0; a < 256; ++a) {
    bytes[0] = static_cast<char>(a);
    ExpectBytesRoundTrip(bytes);
  }
  bytes.assign(2, '\0');
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      bytes[0] = static_cast<char>(a);
      bytes[1] = static_cast<char>(b);
      ExpectBytesRoundTrip(bytes);
      if (HasFatalFailure()) return;
    }
  }
}

TEST(Text, RandomByteStringsRoundTrip) {
  // Half of the bytes are drawn from the edges of the UTF-8 ranges, so that well-formed, cut and
  // nearly well-formed sequences are common; the other half are any byte.
  constexpr std::array<uint8_t, 24> kEdges = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0,
                                              0xB0, 0xBF, 0xC0, 0xC1, 0xC2, 0xC3, 0xDF, 0xE0,
                                              0xE2, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFE, 0xFF};
  std::mt19937 random(20261208);
  for (int round = 0; round < 300000; ++round) {
    std::string bytes(random() % 17, '\0');
    for (char& b : bytes) {
      const uint32_t draw = random();
      b = static_cast<char>((draw & 1) != 0 ? kEdges[(draw >> 1) % kEdges.size()] : draw >> 8);
    }
    ExpectBytesRoundTrip(bytes);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace vorlane::com
