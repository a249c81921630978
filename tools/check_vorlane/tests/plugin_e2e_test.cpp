// check_vorlane against the real agent over Telnet and SSH: what a monitoring system sees of
// each kind of answer, and that a plugin run that cannot be answered ends UNKNOWN within -t.
#include <gtest/gtest.h>

#include "agent/tests/agent_process.h"
#include "testing/http_peer.h"
#include "testing/peer_server.h"
#include "testing/run_program.h"

namespace vorlane::agent::testing {
namespace {

using testkit::HttpPage;
using testkit::HttpPeer;
using testkit::PeerConnection;
using testkit::PeerServer;

// Runs the plugin against 127.0.0.1:`port` as the agent's user.
testkit::ProgramRun Plugin(int port, std::vector<std::string> args, const std::string& password = LoggedInAgent::kPassword,
                           const char* protocol = "--telnet") {
  std::vector<std::string> argv = {CHECK_VORLANE_BINARY, "-H", "127.0.0.1", protocol, "-p", std::to_string(port),
                                   "-u", LoggedInAgent::kUser, "-t", "8"};
  argv.insert(argv.end(), args.begin(), args.end());
  return testkit::RunProgram(argv, "", {"VORLANE_PASSWORD=" + password}, 20s);
}

TEST(CheckVorlane, AnswersOverTelnetAsMonitoringSystemsReadThem) {
  LoggedInAgent agent;
  ASSERT_TRUE(agent.Start());
  PeerServer greeter([](PeerConnection& connection) {
    connection.Send("220 plugin peer ready\r\n");
    connection.WaitForClientClose(5s);
  });
  testkit::WriteFile(agent.Dir() / "TCPConfig.INI", "[GREET]\r\nDPORT=25\r\nPROC=220\r\nPROCC=2\r\nPWOD=1\r\n");
  HttpPeer web({{"/fast", HttpPage{.body = "all systems go"}},
                {"/slow", HttpPage{.body = "all systems go", .delay = 1200ms}},
                {"/private", HttpPage{.body = "members only", .auth = HttpPage::Auth::kBasic}}});
  const std::string url = "Content check type=should contain";

  struct Row {
    std::vector<std::string> args;
    int exit;
    std::string lineStart;
    bool perfdata;
  };
  const Row rows[] = {
      {{"DC", "Drive letter=/", "Value=1", "Unit=bytes"}, 0, "VORLANE DC OK - ", false},
      {{"DC", "Drive letter=/", "Value=10000", "Unit=tb"}, 2, "VORLANE DC CRITICAL - ", false},
      // The type names the count that is down.
      {{"NTPC", "Process name=vorlane", "Type=less than", "Number=1"}, 0, "VORLANE NTPC OK - ", false},
      {{"NTPC", "Process name=vorlane", "Type=at least", "Number=1"}, 2, "VORLANE NTPC CRITICAL - ", false},
      {{"PING", "Hostname=127.0.0.1", "Timeout (sec.)=2"}, 0, "VORLANE PING OK - ", true},
      {{"TCP", "Protocol=GREET", "Port=" + std::to_string(greeter.port()), "Hostname=127.0.0.1", "Timeout (sec.)=5"},
       0, "VORLANE TCP OK - ", true},
      {{"-w", "5", "URL", "URL=" + web.Url("/fast"), url, "Words=all words", "Content to check for=systems"}, 0,
       "VORLANE URL OK - ", true},
      {{"-w", "1", "URL", "URL=" + web.Url("/slow"), url, "Words=all words", "Content to check for=systems"}, 1,
       "VORLANE URL WARNING - ", true},
      {{"-w", "0.1", "-c", "1", "URL", "URL=" + web.Url("/slow")}, 2, "VORLANE URL CRITICAL - ", true},
      // The secret goes encoded, or the page would refuse the agent.
      {{"URL", "URL=" + web.Url("/private"), "Use authentication for URL=true",
        std::string("Username for URL=") + testkit::kHttpPageUser,
        std::string("*Password for URL=") + testkit::kHttpPagePassword, url, "Words=any word",
        "Content to check for=members"},
       0, "VORLANE URL OK - ", true},
      {{"NOSUCH"}, 3, "VORLANE NOSUCH UNKNOWN - Unknown check", false},
  };
  for (const Row& row : rows) {
    const testkit::ProgramRun run = Plugin(agent.Port(), row.args);
    SCOPED_TRACE(row.lineStart + " " + run.out + run.err);
    EXPECT_EQ(run.exitStatus, row.exit);
    EXPECT_EQ(run.out.rfind(row.lineStart, 0), 0u);
    // One line; performance data by the plugins' format when the agent timed the check.
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1);
    EXPECT_EQ(run.out.find("|time=") != std::string::npos, row.perfdata);
    EXPECT_EQ(run.out.find("@@RTO"), std::string::npos);
  }
  EXPECT_NE(web.Requests().back().find("Authorization: Basic"), std::string::npos);

  const testkit::ProgramRun refused = Plugin(agent.Port(), {"DC"}, "wrong");
  EXPECT_EQ(refused.exitStatus, 3);
  EXPECT_EQ(refused.out, "VORLANE DC UNKNOWN - login refused\n");
  EXPECT_EQ(refused.out.find("wrong"), std::string::npos);

  const testkit::ProgramRun list = Plugin(agent.Port(), {"--list", "DC"});
  EXPECT_EQ(list.exitStatus, 0);
  EXPECT_NE(list.out.find("'Unit'  one of: bytes | kb | mb | gb | tb | %"), std::string::npos) << list.out;
  // Each plugin run logged out: no session is left behind.
  EXPECT_EQ(agent.Log().find("Unknown session"), std::string::npos);
  EXPECT_EQ(agent.Stop(), 0);
}

TEST(CheckVorlane, OverSshAndAgainstNoAgentOrASilentOne) {
  const int port = FreePort();
  testkit::AgentProcess agent;
  agent.WriteConfig(Config("SSH", port, User("Operators", LoggedInAgent::kUser, LoggedInAgent::kPassword)));
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(agent.WaitForLog("Server started!")) << agent.Log();
  const testkit::ProgramRun up =
      Plugin(port, {"DC", "Drive letter=/", "Value=1", "Unit=bytes"}, LoggedInAgent::kPassword, "--ssh");
  EXPECT_EQ(up.exitStatus, 0) << up.out << up.err;
  EXPECT_EQ(up.out.rfind("VORLANE DC OK - ", 0), 0u) << up.out;
  const testkit::ProgramRun refused = Plugin(port, {"DC"}, "wrong", "--ssh");
  EXPECT_EQ(refused.exitStatus, 3);
  EXPECT_EQ(refused.out.rfind("VORLANE DC UNKNOWN - ", 0), 0u) << refused.out;
  EXPECT_EQ(agent.Stop(), 0);

  // Nobody listens any more; then a peer that accepts and never speaks holds the plugin until
  // its -t of 2 s (the run's own limit of 20 s would fail the test first if -t did not hold).
  const testkit::ProgramRun none = Plugin(port, {"DC"});
  EXPECT_EQ(none.exitStatus, 3);
  EXPECT_EQ(none.out.rfind("VORLANE DC UNKNOWN - ", 0), 0u) << none.out;
  PeerServer silent([](PeerConnection& connection) { connection.WaitForClientClose(15s); });
  const testkit::ProgramRun held = testkit::RunProgram(
      {CHECK_VORLANE_BINARY, "-H", "127.0.0.1", "--telnet", "-p", std::to_string(silent.port()), "-u", "monitor", "-t",
       "2", "DC"},
      "", {"VORLANE_PASSWORD=pw"}, 10s);
  EXPECT_EQ(held.exitStatus, 3);
  EXPECT_EQ(held.out.rfind("VORLANE DC UNKNOWN - ", 0), 0u) << held.out;
  EXPECT_NE(held.out.find("within 2 s"), std::string::npos) << held.out;
}

}  // namespace
}  // namespace vorlane::agent::testing
