// The texts a protocol table gives a check: escapes decoded, blanks and one line end trimmed.
#include "tcpcheck/exchange_text.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/com/text.h"

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
      {u"\\x-1", std::u16string(1, char16_t{0xFFFF})},  // a sign is accepted; kept to 16 bits
      {u"\\x0x41", u"41"},            // "0x" reads as 0
      {u"\\x5CX41", u"A"},            // the second pass sees what the first one made
      {u"\\\\x41", u"\\A"},
      {u"\\xe9t\\xE9", u"\u00e9t\u00e9"},
  };
  for (const EscapeCase& c : cases) {
    EXPECT_EQ(Utf8(DecodeEscapes(c.input)), Utf8(c.expected)) << "input " << Utf8(c.input);
  }
}

TEST(TrimBlanks, RemovesSpacesOnlyAtBothEnds) {
  const std::pair<std::u16string_view, std::u16string_view> cases[] = {
      {u"  OK  ", u"OK"}, {u"OK", u"OK"},         {u"", u""},           {u"    ", u""},
      {u" a b ", u"a b"}, {u"OK\r\n", u"OK\r\n"}, {u"\tOK\t", u"\tOK\t"},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(Utf8(TrimBlanks(input)), Utf8(expected)) << Utf8(input);
}

TEST(StripTrailingCrLf, RemovesOnePairAtTheEnd) {
  const std::pair<std::u16string_view, std::u16string_view> cases[] = {
      {u"220 ready\r\n", u"220 ready"}, {u"a\r\n\r\n", u"a\r\n"}, {u"\r\n", u""}, {u"a\n", u"a\n"},
      {u"a\r", u"a\r"},                 {u"\n\r", u"\n\r"},       {u"", u""},     {u"\r\nx", u"\r\nx"},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(Utf8(StripTrailingCrLf(input)), Utf8(expected)) << Utf8(input);
}

}  // namespace
}  // namespace vorlane::tcpcheck
