#include "agent/protocol/dispatcher.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/request/answer.h"
#include "agent/protocol/check_catalogue.h"
#include "agent/protocol/os_description.h"
#include "agent/request/record.h"
#include "agent/request/tests/request_test_support.h"

namespace vorlane::agent {
namespace {

using testing::ContextOnFakeClock;
using testing::FakeUserHandle;
using testing::LogCapture;

constexpr std::string_view kSession = "6B29FC40-CA47-1067-B31D-00DD010662DA";
constexpr int32_t kServiceIndex = 7;

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override { agent_.sessions.Add(std::string(kSession), agent_.now); }

  // Dispatches `request` and returns the answers sent for it.
  std::vector<testing::SentAnswer> Dispatch(const std::string& request) {
    user_.request = request;
    user_.sent.clear();
    DispatchRequest(agent_.context, checks_, user_, kServiceIndex, static_cast<int32_t>(request.size()));
    for (const auto& answer : user_.sent) EXPECT_EQ(answer.serviceIndex, kServiceIndex) << answer.text;
    return user_.sent;
  }

  // The one answer to `action` (with `extra` pairs) on the test's session.
  std::string Answer(std::string_view action, const std::string& extra = "") {
    const auto sent = Dispatch(Request(action, kSession, extra));
    EXPECT_EQ(sent.size(), 1u) << action;
    return sent.empty() ? std::string() : sent[0].text;
  }

  static std::string Request(std::string_view action, std::string_view session, const std::string& extra = "") {
    return "#keycount=3#requestaction=" + std::string(action) + "#sessionid=" + std::string(session) + "#" + extra;
  }

  LogCapture quiet_;  // keeps the lines that a test does not look at off the terminal
  ContextOnFakeClock agent_;
  CheckRegistry checks_;
  FakeUserHandle user_;
};

// Sessions

TEST_F(DispatcherTest, UnknownSessionIsRefusedWhateverTheAction) {
  for (std::string_view action : {"listchecks", "agentinfo", "logout", "runcheck", "nonsense", ""}) {
    const auto sent = Dispatch(Request(action, "00000000-0000-0000-0000-000000000000"));
    ASSERT_EQ(sent.size(), 1u) << action;
    EXPECT_EQ(sent[0].text, "#keycount=4#responseaction=" + std::string(action) +
                                "#sessionid=00000000-0000-0000-0000-000000000000#sessionvalue=false#"
                                "errormessage=Unknown session#");
  }
  EXPECT_EQ(agent_.sessions.Size(), 1u);
}

TEST_F(DispatcherTest, MissingSessionIdIsAnUnknownSession) {
  const auto sent = Dispatch("#keycount=1#requestaction=listchecks#");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].text,
            "#keycount=4#responseaction=listchecks#sessionid=#sessionvalue=false#errormessage=Unknown session#");
}

TEST_F(DispatcherTest, SessionIsValidForExactlyTheTimeoutAndRenewedByEachRequest) {
  agent_.now += 300;
  EXPECT_EQ(GetRecordValue(Answer("listchecks"), "responseaction"), "listchecks");
  EXPECT_EQ(agent_.sessions.Lookup(std::string(kSession)), agent_.now) << "renewed";
  agent_.now += 300;
  EXPECT_EQ(GetRecordValue(Answer("listchecks"), "responseaction"), "listchecks");
}

TEST_F(DispatcherTest, SessionTimesOutAfterTheTimeoutAndIsThenUnknown) {
  agent_.now += 301;
  LogCapture log;
  const std::string timedOut = Answer("agentinfo");
  EXPECT_EQ(timedOut, "#keycount=4#responseaction=agentinfo#sessionid=" + std::string(kSession) +
                          "#sessionvalue=false#errormessage=Session has timed out#");
  EXPECT_EQ(log.Lines().back(), "---> " + timedOut);
  EXPECT_FALSE(agent_.sessions.Lookup(std::string(kSession)));
  EXPECT_EQ(GetRecordValue(Answer("agentinfo"), "errormessage"), "Unknown session");
}

TEST_F(DispatcherTest, LogoutSendsNothingAndForgetsTheSession) {
  LogCapture log;
  EXPECT_TRUE(Dispatch(Request("logout", kSession)).empty());
  EXPECT_EQ(log.Lines().back(), "-- i -- Remove sessionid = " + std::string(kSession) + " from sessions list.");
  EXPECT_EQ(GetRecordValue(Answer("listchecks"), "errormessage"), "Unknown session");
}

// Logging

TEST_F(DispatcherTest, LogsTheRequestAsIncomingAndTheAnswerAsOutgoing) {
  user_.address = "10.9.8.7";
  LogCapture log;
  // A line break inside a value is logged escaped; the line end after the record is dropped.
  const std::string request = Request("nonsense", kSession, "note=a\r\nb#") + "\r\n";
  Dispatch(request);
  ASSERT_EQ(user_.receiveCounts, std::vector<int32_t>{static_cast<int32_t>(request.size())});
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                             "<--- Received from 10.9.8.7, " + std::to_string(request.size()) + " chars: " +
                                 Request("nonsense", kSession, "note=a\\r\\nb#"),
                             "---> #keycount=2#responseaction=nonsense#errormessage=Unknown request action#"}));
}

TEST_F(DispatcherTest, ZeroCountIsIgnored) {
  user_.request = Request("listchecks", kSession);
  LogCapture log;
  DispatchRequest(agent_.context, user_, kServiceIndex, 0);
  EXPECT_TRUE(user_.receiveCounts.empty());
  EXPECT_TRUE(user_.sent.empty());
  EXPECT_TRUE(log.Lines().empty());
}

TEST_F(DispatcherTest, FormWithoutRegistryAnswersEveryRunCheckAsUnknown) {
  user_.request = Request("runcheck", kSession, "checkid=DC#");
  DispatchRequest(agent_.context, user_, kServiceIndex, static_cast<int32_t>(user_.request.size()));
  ASSERT_EQ(user_.sent.size(), 1u);
  EXPECT_EQ(user_.sent[0].text, "#keycount=2#responseaction=runcheck#errormessage=Unknown check#");
  EXPECT_EQ(user_.sent[0].serviceIndex, kServiceIndex);
}

// Actions

TEST_F(DispatcherTest, ActionsMatchOnlyWithTheirExactSpelling) {
  EXPECT_EQ(Answer("ListChecks"), "#keycount=2#responseaction=ListChecks#errormessage=Unknown request action#");
  EXPECT_EQ(Answer(""), "#keycount=2#responseaction=#errormessage=Unknown request action#");
  EXPECT_EQ(Answer("login"), "#keycount=2#responseaction=login#errormessage=Unknown request action#");
}

TEST_F(DispatcherTest, FileActionsReachTheirHandlers) {
  EXPECT_EQ(Answer("executefile", "CommandLine=/nonexistent/program#"),
            "#keycount=3#responseaction=executefile#result=down#resultstring=Error: No such file or directory#");
  EXPECT_EQ(Answer("deletefile", "FileName=/nonexistent/file#"),
            "#keycount=3#responseaction=deletefile#result=down#resultstring=Error: No such file or directory#");
}

TEST_F(DispatcherTest, ComboValuesOfOtherChecksAreNotFound) {
  for (std::string_view check : {"DC", "TCP", "ntsc", "bogus", ""}) {
    EXPECT_EQ(Answer("getcomboparamvalues", "checkid=" + std::string(check) + "#"),
              "#keycount=2#responseaction=getcomboparamvalues#errormessage=Check not found#")
        << check;
  }
  EXPECT_EQ(GetRecordValue(Answer("getcomboparamvalues", "checkid=NTPC2#"), "checkid"), "NTPC");
  EXPECT_EQ(agent_.sessions.Size(), 1u);
}

TEST_F(DispatcherTest, ListChecksMarksTcpAvailableOnlyWithANonEmptyProtocolTable) {
  EXPECT_EQ(GetRecordValue(Answer("listchecks"), "available5"), "false") << "missing table";
  agent_.config.WriteTcpConfig("");
  EXPECT_EQ(GetRecordValue(Answer("listchecks"), "available5"), "false") << "empty table";
  agent_.config.WriteTcpConfig("[SMTP]\r\nDPORT=25\r\n");
  EXPECT_EQ(Answer("listchecks"), ListChecksAnswer(agent_.config.paths().tcpConfig));
  EXPECT_EQ(GetRecordValue(Answer("listchecks"), "available5"), "true");
}

TEST_F(DispatcherTest, DefineCheckAnswersFromTheCatalogue) {
  EXPECT_EQ(Answer("definecheck", "checkid=DC#"), DefineCheckAnswer("DC", agent_.config.paths().tcpConfig));
  EXPECT_EQ(Answer("definecheck", "checkid=DC__3#"), DefineCheckAnswer("DC", agent_.config.paths().tcpConfig));
  EXPECT_EQ(Answer("definecheck", "checkid=PING4#"), DefineCheckAnswer("PING", agent_.config.paths().tcpConfig));
  EXPECT_EQ(GetRecordValue(Answer("definecheck", "checkid=URL#"), "checkid"), "URL");
  const std::string notFound = "#keycount=2#responseaction=definecheck#errormessage=Check not found#";
  EXPECT_EQ(Answer("definecheck", "checkid=dc#"), notFound);
  EXPECT_EQ(Answer("definecheck", "checkid=ntsc#"), notFound);
  EXPECT_EQ(Answer("definecheck"), notFound);
}

TEST_F(DispatcherTest, RunCheckWithoutHandlerIsAnUnknownCheck) {
  for (std::string_view check : {"NTSC", "NTPC", "DC__3", "DC", "PING", "TCP", "URL", "bogus", ""}) {
    EXPECT_EQ(Answer("runcheck", "checkid=" + std::string(check) + "#"),
              "#keycount=2#responseaction=runcheck#errormessage=Unknown check#")
        << check;
  }
}

TEST_F(DispatcherTest, RunCheckHandsTheWholeRequestToTheRegisteredHandler) {
  std::vector<std::string> records;
  checks_.Register("DC", [&](AgentContext& context, UserHandle& user, const std::string& record, int32_t index) {
    EXPECT_EQ(&context, &agent_.context);
    records.push_back(record);
    user.Send("#keycount=3#responseaction=runcheck#checkid=DC#result=up#resultstring=ok#", index);
  });
  const std::string extra = "checkid=DC__3#Drive letter=C#";
  EXPECT_EQ(Answer("runcheck", extra), "#keycount=3#responseaction=runcheck#checkid=DC#result=up#resultstring=ok#");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0], Request("runcheck", kSession, extra));
  EXPECT_EQ(Answer("runcheck", "checkid=PING#"), "#keycount=2#responseaction=runcheck#errormessage=Unknown check#");
}

TEST_F(DispatcherTest, AgentInfoReportsVersionSystemAndProtocol) {
  const std::string answer = Answer("agentinfo");
  EXPECT_EQ(answer, "#keycount=4#responseaction=ageninfo#agentversion=1.5.6.3#agentos=" + CurrentOsDescription() +
                        "#protocolversion=1.9#");
  EXPECT_FALSE(GetRecordValue(answer, "agentos").empty());
  EXPECT_LT(answer.size(), kAgentInfoAnswerBuffer);
}

// Echoed values

TEST_F(DispatcherTest, HugeEchoedValuesKeepTheAnswerShortAndWellFormed) {
  const std::string action(10000, 'a');
  const std::string session(10000, 's');
  const auto unknownSession = Dispatch(Request(action, session));
  ASSERT_EQ(unknownSession.size(), 1u);
  const std::string& refused = unknownSession[0].text;
  EXPECT_LE(refused.size(), 255u);
  EXPECT_TRUE(refused.ends_with("#sessionvalue=false#errormessage=Unknown session#"));
  EXPECT_TRUE(action.starts_with(GetRecordValue(refused, "responseaction")));
  EXPECT_TRUE(session.starts_with(GetRecordValue(refused, "sessionid")));

  const std::string unknownAction = Answer(action);
  EXPECT_LE(unknownAction.size(), 255u);
  EXPECT_TRUE(unknownAction.starts_with("#keycount=2#responseaction=aaa"));
  EXPECT_TRUE(unknownAction.ends_with("a#errormessage=Unknown request action#"));
}

// A line end or NUL inside an echoed value would split the answer for its reader or cut it short:
// each becomes a space, and the answer stays one record on one line.
TEST_F(DispatcherTest, EchoedValuesCarryNoLineEndsOrNul) {
  const std::string action("a\r\nb\0c", 6);
  const std::string session("s\r\n\0x\t", 6);
  const std::pair<std::string, std::string> cases[] = {
      {Request(action, session),
       "#keycount=4#responseaction=a  b c#sessionid=s   x #sessionvalue=false#errormessage=Unknown session#"},
      {Request(action, kSession), "#keycount=2#responseaction=a  b c#errormessage=Unknown request action#"},
  };
  for (const auto& [request, expected] : cases) {
    const auto sent = Dispatch(request);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].text, expected);
  }
  agent_.now += 301;
  EXPECT_EQ(Answer(action), "#keycount=4#responseaction=a  b c#sessionid=" + std::string(kSession) +
                                "#sessionvalue=false#errormessage=Session has timed out#");
}

// Only the requests that may wait on the network or another host take a place among the checks.
TEST(MayWait, ChecksAndValueListsMayWaitEverythingElseIsAnsweredAtOnce) {
  const std::pair<const char*, bool> cases[] = {
      {"#keycount=3#requestaction=runcheck#sessionid=s#checkid=PING#", true},
      {"#keycount=3#requestaction=getcomboparamvalues#sessionid=s#checkid=SC#", true},
      {"#keycount=2#requestaction=agentinfo#sessionid=s#", false},
      {"#keycount=2#requestaction=listchecks#sessionid=s#", false},
      {"#keycount=3#requestaction=definecheck#sessionid=s#checkid=TCP#", false},
      {"#keycount=2#requestaction=logout#sessionid=s#", false},
      {"#keycount=3#requestaction=deletefile#sessionid=s#filename=/tmp/x#", false},
      {"#keycount=3#requestaction=executefile#sessionid=s#filename=/bin/true#", false},
      {"#keycount=2#requestaction=RUNCHECK#sessionid=s#", false},  // actions compare exactly
      {"#keycount=1#sessionid=s#", false},
      {"", false},
  };
  for (const auto& [record, mayWait] : cases) EXPECT_EQ(MayWait(record), mayWait) << record;
}

}  // namespace
}  // namespace vorlane::agent
