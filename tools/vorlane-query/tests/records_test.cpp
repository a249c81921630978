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

// Answers as the agent writes them, including the two whose keycount is smaller than the pairs
// they carry and a nested record holding '#'.
const char* const kAnswers[] = {
    "#keycount=3#responseaction=login#sessionid=6B29FC40-CA47-1067-B31D-00DD010662DA#registrationlevel=standard#",
    "#keycount=4#responseaction=ageninfo#agentversion=1.5.6.3#agentos=Debian GNU/Linux 12 (Kernel 6.1)#"
    "protocolversion=1.9#",
    "#keycount=4#responseaction=agentinfo#sessionid=x#sessionvalue=false#errormessage=Unknown session#",
    "#keycount=3#responseaction=runcheck#checkid=PING#result=up#resultstring=Reply from 10.0.0.1@@RTO=3#",
    "#keycount=3#responseaction=runcheck#checkid=NTPC#errormessage=ERROR: Could not get the running processes! "
    "\r\nError code: 0x5. Access denied#",
    "#keycount=3#responseaction=deletefile#result=down#resultstring=Error: The file name holds a NUL byte.#",
    "#keycount=17#responseaction=listchecks#checkcount=2#checkid1=NTSC#checkdescription1=NT ServiceCheck#"
    "available1=true#checkid2=DC#checkdescription2=DiskspaceCheck#available2=true#",
    "#keycount=3#responseaction=definecheck#checkid=DC#parameters=\"#paramname1=Drive letter#paramtype1=text#"
    "paramname2=Value#paramtype2=text#\"#",
    "#keycount=2#responseaction=frobnicate#errormessage=Unknown request action#",
};

TEST(QueryAnswerReader, AWholeRecordCompletesAtOnceAndNoPartOfItDoes) {
  for (const std::string answer : kAnswers) {
    EXPECT_TRUE(IsWholeRecord(answer)) << answer;
    // Cut after every '#' (where a record could seem to end) the text waits for more.
    for (size_t cut = answer.find('#', 1); cut + 1 < answer.size(); cut = answer.find('#', cut + 1)) {
      EXPECT_FALSE(IsWholeRecord(answer.substr(0, cut + 1))) << answer.substr(0, cut + 1);
    }
    AnswerReader reader;
    const auto t0 = Clock::now();
    reader.Add("\r\n", t0);
    reader.Add(answer.substr(0, answer.size() / 2), t0);
    EXPECT_EQ(reader.Complete(t0), std::nullopt) << answer;
    reader.Add(answer.substr(answer.size() / 2), t0);
    EXPECT_EQ(reader.Complete(t0), answer) << "without waiting for the quiet time";
  }
}

TEST(QueryAnswerReader, RecordsOfOtherShapesWaitForTheQuietTime) {
  for (const char* text : {"#a=1#", "#keycount=x#a=1#", "#responseaction=a#keycount=1#", "#keycount=1#a=\"#b=1#",
                           "#keycount=1#a=1", "#keycount=99999#a=1#", "keycount=1#a=1#"}) {
    EXPECT_FALSE(IsWholeRecord(text)) << text;
  }
  AnswerReader reader;
  const auto t0 = Clock::now();
  reader.Add("#keycount=3#responseaction=x#a=1#", t0);
  EXPECT_EQ(reader.Complete(t0 + 199ms), std::nullopt) << "a pair short";
  EXPECT_EQ(reader.Complete(t0 + 200ms), "#keycount=3#responseaction=x#a=1#");
}

}  // namespace
}  // namespace vorlane::query
