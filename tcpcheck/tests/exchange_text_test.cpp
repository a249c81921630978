// The bytes a protocol table gives a check, and how received bytes are judged against them.
#include "tcpcheck/exchange_text.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/com/text.h"
#include "tcpcheck/portwick.h"

namespace vorlane::tcpcheck {
namespace {

std::string Utf8(std::u16string_view text) { return com::Utf16ToUtf8(text); }

struct EscapeCase {
  std::u16string_view input;
  std::u16string expected;
};

TEST(DecodeEscapes, ReplacesEveryMarkerAsTheTableSays) {
  const EscapeCase cases[] = {
      {u"", u""},
      {u"plain text", u"plain text"},
      {u"220 ready\\x0D\\x0A", u"220 ready\r\n"},
      {u"QUIT\\x0d\\x0A", u"QUIT\r\n"},  // either case of the digits, either case of the marker
      {u"\\X41\\x42", u"AB"},
      {u"a\\x00b", u"ab"},   // a code of 0 contributes nothing
      {u"A\\x4", u"A"},      // an incomplete escape at the end is dropped
      {u"A\\x", u"A"},
      {u"A\\x4 tail", u"A\x04tail"},  // "4 " reads as 4; the blank belongs to the escape
      {u"\\x 9z", u"\x09z"},         // a leading blank is accepted
      {u"\\x9G", u"\x09"},           // reading stops at the first non-hex character...
      {u"\\xG9", u""},                // ...so a non-hex first character reads 0: nothing
      {u"\\x0x41", u"41"},            // "0x" reads as 0
      {u"\\x5CX41", u"A"},            // the second pass sees what the first one made
      {u"\\\\x41", u"\\A"},
  };
  for (const EscapeCase& c : cases) {
    EXPECT_EQ(DecodeEscapes(c.input), Utf8(c.expected)) << "input " << Utf8(c.input);
  }
}

TEST(DecodeEscapes, WritesEachEscapeAsOneByteAndTheTextInUtf8) {
  // A sign read, 8 bits kept; the table's characters in UTF-8; two characters after a marker.
  const std::pair<std::u16string_view, std::string> cases[] = {
      {u"\\x-1", "\xFF"}, {u"\\xFF\\x00\\x80", "\xFF\x80"}, {u"\u00e9t\\xE9", "\xC3\xA9t\xE9"},
      {u"\\x\u00e99z", "z"}};
  for (const auto& [input, expected] : cases) EXPECT_EQ(DecodeEscapes(input), expected) << Utf8(input);
}

TEST(TrimBlanks, RemovesSpacesOnlyAtBothEnds) {
  const std::pair<std::u16string_view, std::u16string_view> cases[] = {
      {u"  OK  ", u"OK"}, {u"OK", u"OK"},         {u"", u""},           {u"    ", u""},
      {u" a b ", u"a b"}, {u"OK\r\n", u"OK\r\n"}, {u"\tOK\t", u"\tOK\t"},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(TrimBlanks(Utf8(input)), Utf8(expected)) << Utf8(input);
}

TEST(StripTrailingCrLf, RemovesOnePairAtTheEnd) {
  const std::pair<std::u16string_view, std::u16string_view> cases[] = {
      {u"220 ready\r\n", u"220 ready"}, {u"a\r\n\r\n", u"a\r\n"}, {u"\r\n", u""}, {u"a\n", u"a\n"},
      {u"a\r", u"a\r"},                 {u"\n\r", u"\n\r"},       {u"", u""},     {u"\r\nx", u"\r\nx"},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(StripTrailingCrLf(Utf8(input)), Utf8(expected)) << Utf8(input);
}

// Mode, expected, arrived; whether a wait ends on it, it mismatches; where its reply ends (npos: open).
struct JudgeCase {
  int32_t mode;
  std::string expected, received;
  bool ready, mismatch;
  size_t replyEnd;
};

TEST(ReplyReady, WaitsForWholeRepliesAndComparesBytes) {
  constexpr size_t kOpen = std::string::npos;
  const JudgeCase cases[] = {
      {kCompareContains, "220", "220 mail", false, false, kOpen},  // the first of two segments
      {kCompareContains, "220", "220-first\r\n 220-inner\r\n220-more\r\n", false, false, kOpen},
      {kCompareContains, "ready", "220-first\r\n220 ready\r\n221 x\r\n", true, false, 22},
      {kCompareEquals, "220-first", "220-first\r\n220\r\n", true, false, 16},
      // Bytes that are not text have no lines: any piece is a reply, mode 2 waits for its bytes.
      {kCompareContains, "\xFF\x01", std::string("\x00\xFF", 2), false, true, 2},
      {kCompareContains, "\xFF\x01", std::string("\x00\xFF\x01", 3), true, false, 3},
      {kCompareEquals, "\xC3\xA9\xFF", "\xC3\xA9\xFF\r\n", true, false, 5},
      {kCompareContains, "\xC3\xA9", "\xE9\r\n", true, true, 3},  // compared as bytes, not as text
  };
  for (const JudgeCase& c : cases) {
    EXPECT_EQ(ReplyReady(c.mode, c.expected, c.received), c.ready) << c.received;
    EXPECT_EQ(Mismatch(c.mode, c.expected, c.received), c.mismatch) << c.received;
    EXPECT_EQ(ReplyEnd(c.received).value_or(kOpen), c.replyEnd) << c.received;
  }
}

}  // namespace
}  // namespace vorlane::tcpcheck
