#include "platform/com/bstr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>


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

TEST(Bstr, BytesThatAreNoTextSurviveTheTrip) {
  const std::string latin1 = "caf\xE9 \xFF\x80";
  Bstr text = Bstr::FromUtf8(latin1);
  EXPECT_EQ(text, (std::u16string{u'c', u'a', u'f', 0xDCE9, u' ', 0xDCFF, 0xDC80}));
  EXPECT_EQ(text.ToUtf8(), latin1);
  EXPECT_EQ(Bstr(text).ToUtf8(), latin1);
}

}  // namespace
}  // namespace vorlane::com
