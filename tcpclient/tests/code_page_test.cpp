#include "tcpclient/code_page.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cerrno>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace vorlane::tcpclient {
namespace {

CodePage OpenOrDie(int32_t number) {
  auto page = CodePage::Open(number);
  EXPECT_TRUE(page.ok()) << number << ": " << page.error();
  if (!page) std::abort();
  return std::move(page).value();
}

// Text and its bytes in a page, both ways.
struct RoundTrip {
  int32_t page;
  std::u16string text;
  std::string bytes;
};

TEST(CodePageTest, ConvertsBothWays) {
  const std::vector<RoundTrip> cases = {
      {0, u"plain ASCII", "plain ASCII"},
      {0, u"gr\u00FC\u00DF \u20AC \U0001F600", "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {65001, u"\u00E9t\u00E9", "\xC3\xA9t\xC3\xA9"},
      {1252, u"\u20AC 5 \u00E9", "\x80 5 \xE9"},
      {850, u"\u00E9\u00C7\u2591", "\x82\x80\xB0"},
      {28591, u"\u00FF\u00A0", "\xFF\xA0"},
      {28605, u"\u20AC", "\xA4"},
      {20127, u"ascii", "ascii"},
      {1200, u"A\u20AC", std::string("A\0\xAC\x20", 4)},
  };
  for (const RoundTrip& c : cases) {
    SCOPED_TRACE(c.page);
    CodePage page = OpenOrDie(c.page);
    EXPECT_EQ(page.FromText(c.text), c.bytes);
    EXPECT_EQ(page.ToText(c.bytes), c.text);
  }
}

TEST(CodePageTest, CharacterSplitAcrossReceivesIsHeldUntilComplete) {
  // "a€b" and "a😀b" in UTF-8, cut after every byte of the multibyte character.
  const std::vector<std::pair<std::string, std::u16string>> cases = {
      {"a\xE2\x82\xAC" "b", u"a\u20ACb"},
      {"a\xF0\x9F\x98\x80" "b", u"a\U0001F600b"},
  };
  for (const auto& [bytes, text] : cases) {
    for (size_t cut = 1; cut < bytes.size(); ++cut) {
      SCOPED_TRACE(cut);
      CodePage page = OpenOrDie(0);
      const std::u16string first = page.ToText(bytes.substr(0, cut));
      EXPECT_EQ(first.find(u'\uFFFD'), std::u16string::npos);
      EXPECT_EQ(first + page.ToText(bytes.substr(cut)), text);
    }
  }
  // Byte by byte, the whole character arrives in one piece.
  CodePage page = OpenOrDie(65001);
  std::u16string collected;
  for (char byte : std::string("\xF0\x9F\x98\x80")) collected += page.ToText(std::string(1, byte));
  EXPECT_EQ(collected, u"\U0001F600");
  // A double-byte page (Shift-JIS, "あ" = 82 A0) holds its lead byte the same way.
  CodePage sjis = OpenOrDie(932);
  EXPECT_EQ(sjis.ToText("x\x82"), u"x");
  EXPECT_EQ(sjis.ToText("\xA0"), u"\u3042");
}

TEST(CodePageTest, InvalidBytesBecomeReplacementCharacters) {
  const std::vector<std::pair<std::string, std::u16string>> cases = {
      {"a\xFF" "b", u"a\uFFFDb"},
      {"\x80", u"\uFFFD"},
      {"\xC0\x80", u"\uFFFD\uFFFD"},          // overlong form of NUL
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // an encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // past U+10FFFF
  };
  for (const auto& [bytes, text] : cases) {
    SCOPED_TRACE(bytes);
    CodePage page = OpenOrDie(0);
    EXPECT_EQ(page.ToText(bytes), text);
    EXPECT_EQ(page.ToText("ok"), u"ok");  // and the decoder goes on afterwards
  }
  // A cut character that never completes is given up when the stream is flushed.
  CodePage page = OpenOrDie(0);
  EXPECT_EQ(page.ToText("z\xE2\x82"), u"z");
  EXPECT_EQ(page.ToText("", true), u"\uFFFD");
  EXPECT_EQ(page.ToText("next"), u"next");
  // Reset drops what was held back.
  EXPECT_EQ(page.ToText("\xE2"), u"");
  page.Reset();
  EXPECT_EQ(page.ToText("\x82\xAC"), u"\uFFFD\uFFFD");
}

TEST(CodePageTest, UnmappableCharactersBecomeQuestionMarks) {
  const std::vector<std::pair<int32_t, std::string>> cases = {
      {1252, "a?b?c"},
      {850, "a?b?c"},
      {20127, "a?b?c"},
  };
  // A Cyrillic letter and a character outside the basic plane (one '?' for the pair).
  const std::u16string text = u"a\u0416b\U0001F600c";
  for (const auto& [number, bytes] : cases) {
    SCOPED_TRACE(number);
    EXPECT_EQ(OpenOrDie(number).FromText(text), bytes);
  }
  // A lone surrogate is no character in any page.
  EXPECT_EQ(OpenOrDie(0).FromText(std::u16string(u"x") + char16_t(0xD800) + u"y"), "x?y");
  EXPECT_EQ(OpenOrDie(0).FromText(std::u16string(u"x") + char16_t(0xDC00)), "x?");
  // The mark is written in the page's own encoding.
  EXPECT_EQ(OpenOrDie(1200).FromText(std::u16string(u"x") + char16_t(0xD800)), std::string("x\0?\0", 4));
}

TEST(CodePageTest, UnknownPagesFailWithTheirNumber) {
  for (int32_t number : {12345, -1, 99999}) {
    auto page = CodePage::Open(number);
    ASSERT_FALSE(page.ok());
    EXPECT_EQ(page.error(), "Code page " + std::to_string(number) + " is not supported.");
  }
}

TEST(CodePageTest, MovesKeepTheConverters) {
  CodePage first = OpenOrDie(1252);
  EXPECT_EQ(first.ToText("\xE2\x82"), u"\u00E2\u201A");  // single-byte: nothing is held back
  CodePage second = std::move(first);
  EXPECT_EQ(second.Number(), 1252);
  EXPECT_EQ(second.FromText(u"\u20AC"), "\x80");
  CodePage third = OpenOrDie(0);
  EXPECT_EQ(third.ToText("\xE2\x82"), u"");
  third = std::move(second);  // the UTF-8 converters are closed, and what they held is gone
  EXPECT_EQ(third.ToText("\xAC"), u"\u00AC");
}

// UTF-8 is decoded by a path of its own; it must agree with the general converter, which
// decodes every other page: each byte that starts no well-formed character is one U+FFFD, and a
// start that the input ends before is one U+FFFD when the input is flushed.
std::u16string DecodeUtf8ByTheConverter(std::string bytes) {
  iconv_t converter = ::iconv_open("UTF-16LE", "UTF-8");
  EXPECT_NE(converter, reinterpret_cast<iconv_t>(-1));
  std::u16string text;
  char* in = bytes.data();
  size_t inLeft = bytes.size();
  while (inLeft > 0) {
    char16_t units[256];
    char* to = reinterpret_cast<char*>(units);
    size_t toLeft = sizeof units;
    const size_t rc = ::iconv(converter, &in, &inLeft, &to, &toLeft);
    const int error = rc == static_cast<size_t>(-1) ? errno : 0;
    text.append(units, (sizeof units - toLeft) / sizeof(char16_t));
    if (error == EILSEQ) {  // a bad byte
      text.push_back(u'\uFFFD');
      ++in;
      --inLeft;
    } else if (error == EINVAL) {  // a start the input ends before: given up whole
      text.push_back(u'\uFFFD');
      break;
    } else if (error != 0 && error != E2BIG) {
      break;
    }
  }
  ::iconv_close(converter);
  return text;
}

TEST(CodePageTest, Utf8DecodesAsTheGeneralConverterDoes) {
  std::vector<std::string> inputs = {
      "\xC0\xAF", "\xE0\x80\xAF", "\xF0\x80\x80\xAF",  // overlong forms
      "\xED\xA0\x80", "\xED\xBF\xBF",                 // surrogates
      "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF", // beyond U+10FFFF
      "\x80", "\xBF\x41", "\xC2\x41", "\xE2\x82\x41", "\xF0\x9F\x98\x41",  // broken sequences
      "\xE2\x82", "\xF0\x9F\x98",                       // cut at the end
      "\xEF\xBF\xBF\xF4\x8F\xBF\xBF\xC2\x80\x7F",    // the edges of the ranges
  };
  std::mt19937 random(20261208);
  // Random bytes, ended by a letter: the general converter holds back a cut start of the old
  // five- and six-byte forms that can never be completed, which the direct path rightly does not.
  for (int i = 0; i < 2000; ++i) {
    std::string bytes(1 + random() % 12, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random() % 3 == 0 ? 0x80 + random() % 0x80 : random() % 0x100);
    inputs.push_back(std::move(bytes) + "A");
  }
  CodePage page = OpenOrDie(0);
  for (const std::string& bytes : inputs) {
    page.Reset();
    ASSERT_EQ(page.ToText(bytes, true), DecodeUtf8ByTheConverter(bytes)) << ::testing::PrintToString(bytes);
  }
}

}  // namespace
}  // namespace vorlane::tcpclient
