#include "agent/request/answer.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "agent/request/record.h"

namespace vorlane::agent {
namespace {

constexpr std::string_view kUnknownSession =
    "#keycount=4#responseaction=%s#sessionid=%s#sessionvalue=false#errormessage=Unknown session#";

TEST(FormatAnswer, FillsTextsAndNumbers) {
  EXPECT_EQ(FormatAnswer(kUnknownSession, {"agentinfo", "ABC"}, kShortAnswerBuffer),
            "#keycount=4#responseaction=agentinfo#sessionid=ABC#sessionvalue=false#errormessage=Unknown session#");
  EXPECT_EQ(FormatAnswer("#r=%s@@RTO=%ld#", {"ok", 42}), "#r=ok@@RTO=42#");
  EXPECT_EQ(FormatAnswer("code: 0x%X. %d%% %u", {0x8007001FLL, -5, 7}), "code: 0x8007001F. -5% 7");
  EXPECT_EQ(FormatAnswer("#no values#", {}), "#no values#");
}

TEST(FormatAnswer, EmptyEchoesKeepTheRecordWhole) {
  EXPECT_EQ(FormatAnswer("#keycount=2#responseaction=%s#errormessage=Unknown request action#", {""},
                         kShortAnswerBuffer),
            "#keycount=2#responseaction=#errormessage=Unknown request action#");
}

TEST(FormatAnswer, LongEchoesAreCutToTheBufferNeverTheTemplate) {
  const std::string action(10000, 'a');
  const std::string session(10000, 's');
  const std::string answer = FormatAnswer(kUnknownSession, {action, session}, kShortAnswerBuffer);
  EXPECT_EQ(answer.size(), kShortAnswerBuffer - 1);
  const std::string tail = "#sessionvalue=false#errormessage=Unknown session#";
  EXPECT_EQ(answer.substr(answer.size() - tail.size()), tail);
  // Read back as a record, every pair is still there and in place.
  EXPECT_EQ(GetRecordValue(answer, "keycount"), "4");
  EXPECT_EQ(GetRecordValue(answer, "sessionvalue"), "false");
  EXPECT_EQ(GetRecordValue(answer, "errormessage"), "Unknown session");
  const std::string echoedAction = GetRecordValue(answer, "responseaction");
  const std::string echoedSession = GetRecordValue(answer, "sessionid");
  EXPECT_EQ(echoedAction, action.substr(0, echoedAction.size()));
  EXPECT_EQ(echoedSession, session.substr(0, echoedSession.size()));
  // The two echoes share the room fairly.
  EXPECT_LE(echoedAction.size() > echoedSession.size() ? echoedAction.size() - echoedSession.size()
                                                       : echoedSession.size() - echoedAction.size(),
            1u);
}

TEST(FormatAnswer, AShortEchoIsKeptWholeBesideALongOne) {
  const std::string session = "6B29FC40-CA47-1067-B31D-00DD010662DA";
  const std::string action(10000, 'a');
  const std::string answer = FormatAnswer(kUnknownSession, {action, session}, kShortAnswerBuffer);
  EXPECT_EQ(answer.size(), kShortAnswerBuffer - 1);
  EXPECT_EQ(GetRecordValue(answer, "sessionid"), session);
}

TEST(FormatAnswer, CutsNeverSplitAUtf8Character) {
  // Two-byte characters: a cut at an odd position backs off by one byte.
  std::string action;
  for (int i = 0; i < 200; ++i) action += "\xc3\xa4";
  const std::string answer = FormatAnswer("#responseaction=%s#", {action}, 32);
  const std::string echoed = GetRecordValue(answer, "responseaction");
  EXPECT_EQ(echoed.size() % 2, 0u);
  EXPECT_LE(answer.size(), 31u);
  EXPECT_EQ(answer.back(), '#');
}

TEST(FormatAnswer, CutsKeepBytesThatAreNoUtf8AsUnitsOfTheirOwn) {
  // Stray continuation bytes (as a client may send them) are bytes like any other: the echo
  // keeps as many as fit, as for ASCII.
  const std::string stray(200, '\x80');
  const std::string answer = FormatAnswer("#responseaction=%s#", {stray}, 32);
  EXPECT_EQ(answer, "#responseaction=" + std::string(14, '\x80') + "#");
  // Latin-1 next to a two-byte character: the character is never split.
  const std::string latin1 = std::string(13, '\xE9') + "\xC3\xA4";
  EXPECT_EQ(FormatAnswer("#responseaction=%s#", {latin1}, 32), "#responseaction=" + std::string(13, '\xE9') + "#");
}

TEST(FormatAnswer, UnboundedAnswersKeepEverything) {
  const std::string text(50000, 't');
  EXPECT_EQ(FormatAnswer("#v=%s#", {text}).size(), text.size() + 4);
}

TEST(FormatAnswer, TemplateAndArgumentsMustAgree) {
  EXPECT_THROW(FormatAnswer("#%s#%s#", {"one"}), std::logic_error);
  EXPECT_THROW(FormatAnswer("#%s#", {"one", "two"}), std::logic_error);
  EXPECT_THROW(FormatAnswer("#%d#", {"text"}), std::logic_error);
  EXPECT_THROW(FormatAnswer("#%s#", {5}), std::logic_error);
  EXPECT_THROW(FormatAnswer("#%f#", {5}), std::logic_error);
  EXPECT_THROW(FormatAnswer("#%", {}), std::logic_error);
}

TEST(AsAnswerTextTest, PairMarksAndControlCharactersBecomeSpaces) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"plain text", "plain text"},
      {"a#result=up#b", "a result=up b"},
      {"line\r\nend\ttab\x7f", "line  end tab "},
      {std::string("nul\0byte", 8), "nul byte"},
      {"Grüße €", "Grüße €"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(AsAnswerText(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace vorlane::agent
