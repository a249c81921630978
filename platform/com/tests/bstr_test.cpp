#include "platform/com/bstr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>

#include "platform/com/text.h"

namespace vorlane::com {
namespace {

uint32_t StoredPrefix(BSTR text) {
  uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<const char*>(text) - sizeof bytes, sizeof bytes);
  return bytes;
}

TEST(Bstr, NullIsTheEmptyText) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
  Bstr empty;
  EXPECT_EQ(empty.get(), nullptr);
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(empty.view(), u"");
  EXPECT_EQ(empty.ToUtf8(), "");
  EXPECT_EQ(empty.Copy(), nullptr);
  OLECHAR garbage[] = u"x";
  BSTR out = garbage;  // CopyTo must overwrite it
  EXPECT_EQ(empty.CopyTo(&out), S_OK);
  EXPECT_EQ(out, nullptr);
}

TEST(Bstr, LengthPrefixPrecedesTheCharactersAndATerminator) {
  BSTR text = SysAllocString(u"abc");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(StoredPrefix(text), 6u);
  EXPECT_EQ(SysStringLen(text), 3u);
  EXPECT_EQ(SysStringByteLen(text), 6u);
  EXPECT_EQ(text[3], u'\0');
  EXPECT_EQ(std::u16string_view(text), u"abc");
  SysFreeString(text);
}

TEST(Bstr, EmbeddedZerosKeepTheirLength) {
  const std::u16string_view withZeros(u"a\0b\0", 4);
  BSTR raw = SysAllocStringLen(withZeros.data(), 4);
  ASSERT_NE(raw, nullptr);
  EXPECT_EQ(SysStringLen(raw), 4u);
  Bstr owned = Bstr::Attach(raw);
  EXPECT_EQ(owned.view(), withZeros);
  Bstr copy = owned;
  EXPECT_EQ(copy.Length(), 4u);
  EXPECT_EQ(copy.ToUtf8(), std::string("a\0b\0", 4));
  EXPECT_EQ(Bstr::FromUtf8(std::string("x\0y", 3)).Length(), 3u);
}

TEST(Bstr, NullSourceGivesZeroFilledText) {
  BSTR text = SysAllocStringLen(nullptr, 5);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(SysStringLen(text), 5u);
  for (int i = 0; i <= 5; ++i) EXPECT_EQ(text[i], u'\0') << i;
  SysFreeString(text);
  BSTR empty = SysAllocStringLen(nullptr, 0);
  ASSERT_NE(empty, nullptr);  // an empty text, which is not the null BSTR
  EXPECT_EQ(SysStringLen(empty), 0u);
  SysFreeString(empty);
}

TEST(Bstr, LengthBeyondThePrefixIsRefused) { EXPECT_EQ(SysAllocStringLen(nullptr, UINT32_MAX), nullptr); }

TEST(Bstr, CopiesAreIndependent) {
  auto original = std::make_unique<Bstr>(u"shared?");
  BSTR copy = original->Copy();
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, original->get());
  original.reset();  // under the address sanitizer a shallow copy would now be read after free
  EXPECT_EQ(std::u16string_view(copy, SysStringLen(copy)), u"shared?");
  SysFreeString(copy);

  Bstr a(u"one");
  Bstr b(u"two");
  b = a;
  EXPECT_NE(a.get(), b.get());
  EXPECT_EQ(b, u"one");
  EXPECT_EQ(a.CopyTo(nullptr), E_POINTER);
}

TEST(Bstr, PutFreesFirstAndDetachGivesUpOwnership) {
  Bstr text(u"old");
  BSTR* slot = text.put();
  EXPECT_EQ(*slot, nullptr);
  *slot = SysAllocString(u"new");
  EXPECT_EQ(text, u"new");
  BSTR raw = text.detach();
  EXPECT_EQ(text.get(), nullptr);
  EXPECT_EQ(std::u16string_view(raw), u"new");
  SysFreeString(raw);

  Bstr moved(u"moving");
  Bstr target(std::move(moved));
  EXPECT_EQ(moved.get(), nullptr);  // NOLINT: checking the moved-from state on purpose
  EXPECT_EQ(target, u"moving");
}

TEST(Bstr, Utf8RoundTripsIncludingFourByteSequences) {
  const std::string utf8 = "h\xC3\xA9llo \xE2\x82\xAC \xF0\x9D\x84\x9E \xF0\x9F\x98\x80";  // é € 𝄞 😀
  Bstr text = Bstr::FromUtf8(utf8);
  EXPECT_EQ(text.Length(), 13u);  // 11 characters, two of them as surrogate pairs
  EXPECT_EQ(text.view()[8], char16_t{0xD834});
  EXPECT_EQ(text.view()[9], char16_t{0xDD1E});
  EXPECT_EQ(text.ToUtf8(), utf8);
}

TEST(Bstr, EveryScalarValueRoundTrips) {
  for (uint32_t cp = 1; cp <= 0x10FFFF; cp += (cp < 0x1000 ? 1 : 61)) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    std::u16string utf16;
    if (cp < 0x10000) {
      utf16.push_back(static_cast<char16_t>(cp));
    } else {
      utf16.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      utf16.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
    const std::string utf8 = Utf16ToUtf8(utf16);
    ASSERT_EQ(utf8.size(), cp < 0x80 ? 1u : cp < 0x800 ? 2u : cp < 0x10000 ? 3u : 4u) << cp;
    ASSERT_EQ(Utf8ToUtf16(utf8), utf16) << cp;
  }
}

TEST(Bstr, InvalidUtf8BecomesReplacementCharacters) {
  const struct {
    std::string utf8;
    std::u16string expected;
  } cases[] = {
      {"\x80", u"\uFFFD"},                             // stray continuation byte
      {"a\xC3", u"a\uFFFD"},                           // truncated at the end
      {"\xE2\x82" "A", u"\uFFFD" "A"},                 // truncated, resumes at the breaking byte
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                   // overlong form of '/'
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},         // overlong three-byte form
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},         // an encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
      {"\xF0\x9F\x98", u"\uFFFD"},                     // four-byte sequence cut short
      {"\xFF" "ok", u"\uFFFD" "ok"},
  };
  for (const auto& c : cases) EXPECT_EQ(Utf8ToUtf16(c.utf8), c.expected) << testing::PrintToString(c.utf8);
}

TEST(Bstr, UnpairedSurrogatesBecomeReplacementCharacters) {
  const std::string replacement = "\xEF\xBF\xBD";
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD800, u'a'}), replacement + "a");
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xDC00}), replacement);
  EXPECT_EQ(Utf16ToUtf8(std::u16string{u'a', 0xD83D}), "a" + replacement);
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xDE00, 0xD83D}), replacement + replacement);  // wrong order
}

TEST(Bstr, ArbitraryBytesNeverBreakTheConversions) {
  std::mt19937 random(1234);
  for (int round = 0; round < 2000; ++round) {
    std::string bytes(random() % 24, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    const std::u16string once = Utf8ToUtf16(bytes);
    // Whatever came in, the result is valid text, so it survives a round trip unchanged.
    ASSERT_EQ(Utf8ToUtf16(Utf16ToUtf8(once)), once);
  }
}

}  // namespace
}  // namespace vorlane::com
