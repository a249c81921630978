#include "tools/vorlane-query/records.h"

#include <gtest/gtest.h>

namespace vorlane::query {
namespace {

using namespace std::chrono_literals;
using Clock = AnswerReader::Clock;

TEST(QueryRecords, FieldsAreFoundByKey) {
  const std::string login = "#keycount=3#responseaction=login#sessionid=6B29FC40-CA47#registrationlevel=standard#";
  EXPECT_EQ(FieldValue(login, "sessionid"), "6B29FC40-CA47");
  EXPECT_EQ(FieldValue(login, "keycount"), "3");
  EXPECT_EQ(FieldValue(login, "session"), std::nullopt);
  EXPECT_EQ(FieldValue("#sessionid=abc", "sessionid"), std::nullopt) << "unterminated";
}

TEST(QueryRecords, SessionPlaceholdersAreAllReplaced) {
  EXPECT_EQ(SubstituteSession("#sessionid={session}#x={session}#", "S1"), "#sessionid=S1#x=S1#");
  EXPECT_EQ(SubstituteSession("#a=1#", "S1"), "#a=1#");
  EXPECT_EQ(SubstituteSession("#s={session}#", "{session}"), "#s={session}#") << "no endless loop";
}

TEST(QueryRecords, LogoutIsRecognisedByItsAction) {
  EXPECT_TRUE(IsLogout("#keycount=2#requestaction=logout#sessionid=1#"));
  EXPECT_TRUE(IsLogout("#requestaction=LogOut#"));
  EXPECT_FALSE(IsLogout("#requestaction=agentinfo#"));
  EXPECT_FALSE(IsLogout("#responseaction=logout#"));
}

TEST(QueryAnswerReader, ALineEndAfterTheClosingHashCompletesAtOnce) {
  AnswerReader reader;
  const auto t0 = Clock::now();
  reader.Add("\r\n#answer=", t0);
  EXPECT_EQ(reader.Complete(t0 + 1s), std::nullopt) << "no closing hash yet";
  reader.Add("36#\r\nrest", t0);
  EXPECT_EQ(reader.Complete(t0), "#answer=36#");
}

TEST(QueryAnswerReader, AHashAtTheEndCompletesAfterTheQuietTime) {
  AnswerReader reader;
  const auto t0 = Clock::now();
  reader.Add("#a=1#", t0);
  EXPECT_EQ(reader.Complete(t0 + 199ms), std::nullopt);
  EXPECT_EQ(reader.QuietDeadline(), t0 + 200ms);
  reader.Add("b=2#", t0 + 150ms);  // more text restarts the quiet time
  EXPECT_EQ(reader.Complete(t0 + 300ms), std::nullopt);
  EXPECT_EQ(reader.Complete(t0 + 350ms), "#a=1#b=2#");
}

TEST(QueryAnswerReader, TextWithoutAClosingHashIsNeverComplete) {
  AnswerReader reader;
  const auto t0 = Clock::now();
  reader.Add("login: ", t0);
  EXPECT_EQ(reader.Complete(t0 + 1s), std::nullopt);
  EXPECT_EQ(reader.QuietDeadline(), std::nullopt);
  reader.Add("#\n", t0);
  EXPECT_EQ(reader.Complete(t0 + 1s), std::nullopt) << "a lone hash is no record";
  EXPECT_EQ(reader.CompleteAtEnd(), std::nullopt);
  reader.Add("x#", t0);
  EXPECT_EQ(reader.CompleteAtEnd(), "#\nx#");
  reader.Reset();
  EXPECT_EQ(reader.Text(), "");
}

}  // namespace
}  // namespace vorlane::query
