// The vorlane-query program run as a child process against the terminal server component.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <optional>

#include "testing/run_program.h"
#include "testing/scoped_env.h"
#include "tools/vorlane-query/tests/query_server.h"

namespace vorlane::query::testing {
namespace {

using ToolResult = testkit::ProgramRun;

class QueryTool : public QueryServer {
 protected:
  // Runs the program with `args`, `input` as standard input and the environment changed by
  // `env` (a missing value leaves the variable out), while this apartment serves the server.
  ToolResult Run(const std::vector<std::string>& args, const std::string& input = "",
                 const std::map<std::string, std::optional<std::string>>& env = {{"VORLANE_PASSWORD", "pw"}}) {
    std::vector<std::string> extraEnv;
    for (const auto& [name, value] : env) {
      if (value) extraEnv.push_back(name + "=" + *value);
    }
    std::vector<std::string> argv{VORLANE_QUERY_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    ToolResult result;
    RunWhilePumping([&] { result = testkit::RunProgram(argv, input, extraEnv, std::chrono::seconds(50)); });
    return result;
  }

  std::vector<std::string> Target() const {
    return {protocol_ == Protocol::kSsh ? "--ssh" : "--telnet", "--port", std::to_string(port_), "--user", "monitor"};
  }
  static std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

  // The variables a run may set are not inherited from this process, so that leaving one out of
  // a run's environment removes it.
  testkit::ScopedEnv noPassword_{"VORLANE_PASSWORD", std::nullopt};
  testkit::ScopedEnv noOtherPassword_{"QUERY_TEST_PW", std::nullopt};
};

TEST_F(QueryTool, SshLoginAndTwoRequestsPrintTheAnswersInOrder) {
  Start(Protocol::kSsh, true);
  ToolResult r = Run(Join(Target(), {"#keycount=1#requestaction=agentinfo#", "#requestaction=x#"}));
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, "#keycount=3#responseaction=login#\n#answer=36#\n#answer=17#\n");
  EXPECT_NE(r.err.find("SHA256:"), std::string::npos) << r.err;
}

TEST_F(QueryTool, TelnetLoginAndTwoRequestsPrintTheAnswersInOrder) {
  Start(Protocol::kTelnet, true);
  ToolResult r = Run(Join(Target(), {"#keycount=1#requestaction=agentinfo#", "#requestaction=x#"}));
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, "#keycount=3#responseaction=login#\n#answer=36#\n#answer=17#\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(QueryTool, WrongPasswordExitsWithFourOverBothProtocols) {
  for (Protocol protocol : {Protocol::kSsh, Protocol::kTelnet}) {
    TearDown();
    SetUp();
    Start(protocol, true);
    ToolResult r = Run(Target(), "", {{"VORLANE_PASSWORD", "wrong"}});
    EXPECT_EQ(r.exitStatus, 4);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("vorlane-query: login refused"), std::string::npos) << r.err;
  }
}

TEST_F(QueryTool, AMissingAnswerExitsWithThreeAfterTheOtherRequests) {
  Start(Protocol::kTelnet, false);
  ToolResult r = Run(Join(Target(), {"--timeout", "0.5", "#requestaction=silent#", "#requestaction=x#"}));
  EXPECT_EQ(r.exitStatus, 3);
  EXPECT_EQ(r.out, std::string(kLoginAnswer) + "\n#answer=17#\n");
  EXPECT_EQ(r.err, "vorlane-query: no answer within 0.5 s\n");
}

TEST_F(QueryTool, SessionPlaceholderIsFilledInFromTheLoginAnswer) {
  Start(Protocol::kSsh, false);
  ToolResult r = Run(Join(Target(), {"#keycount=2#requestaction=agentinfo#sessionid={session}#"}));
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  const std::string sent = std::string("#keycount=2#requestaction=agentinfo#sessionid=") + kSessionId + "#";
  EXPECT_EQ(sink_->Requests(), std::vector<std::string>{sent});
  EXPECT_EQ(r.out, std::string(kLoginAnswer) + "\n#answer=" + std::to_string(sent.size()) + "#\n");
}

TEST_F(QueryTool, RequestsComeFromStandardInputWithoutArguments) {
  Start(Protocol::kTelnet, false);
  ToolResult r = Run(Target(), "#requestaction=a#\r\n\n  \n#requestaction=bb#\n#requestaction=logout#\n");
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, std::string(kLoginAnswer) + "\n#answer=17#\n#answer=18#\n");
  // The logout, which gets no wait, may reach the application after the program ended.
  PumpUntil([&] { return sink_->Requests().size() >= 3; });
  EXPECT_EQ(sink_->Requests(),
            (std::vector<std::string>{"#requestaction=a#", "#requestaction=bb#", "#requestaction=logout#"}));
}

TEST_F(QueryTool, PasswordComesFromAFileOrANamedVariable) {
  Start(Protocol::kTelnet, false);
  std::ofstream(dir_ / "password") << "pw\n";
  ToolResult fromFile = Run(Join(Target(), {"--password-file", (dir_ / "password").string(), "#requestaction=x#"}),
                            "", {{"VORLANE_PASSWORD", std::nullopt}});
  EXPECT_EQ(fromFile.exitStatus, 0) << fromFile.err;
  EXPECT_EQ(fromFile.out, std::string(kLoginAnswer) + "\n#answer=17#\n");
  ToolResult fromEnv = Run(Join(Target(), {"--password-env", "QUERY_TEST_PW", "#requestaction=x#"}), "",
                           {{"VORLANE_PASSWORD", "wrong"}, {"QUERY_TEST_PW", "pw"}});
  EXPECT_EQ(fromEnv.exitStatus, 0) << fromEnv.err;
  EXPECT_EQ(fromEnv.out, std::string(kLoginAnswer) + "\n#answer=17#\n");
}

TEST_F(QueryTool, UsageErrorsExitWithTwoBeforeConnecting) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--user", "monitor", "--password", "pw"}, "never taken on the command line"},
      {{"--bogus"}, "unknown option --bogus"},
      {{"--user", "monitor", "--port", "x"}, "bad port x"},
      {{"--port", "1"}, "no user name"},
  };
  for (const auto& [args, message] : cases) {
    ToolResult r = Run(args);
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("usage: vorlane-query"), std::string::npos) << r.err;
  }
  ToolResult noPassword = Run({"--user", "monitor"}, "", {{"VORLANE_PASSWORD", std::nullopt}});
  EXPECT_EQ(noPassword.exitStatus, 2);
  EXPECT_NE(noPassword.err.find("no password"), std::string::npos) << noPassword.err;
  ToolResult help = Run({"--help"});
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_NE(help.out.find("usage: vorlane-query"), std::string::npos);
}

TEST_F(QueryTool, UnverifiedHostKeyIsAConnectionFailure) {
  Start(Protocol::kSsh, true);
  std::ofstream(dir_ / "known_hosts") << "";
  ToolResult r = Run(Join(Target(), {"--known-hosts", (dir_ / "known_hosts").string()}));
  EXPECT_EQ(r.exitStatus, 4);
  EXPECT_NE(r.err.find("is not listed in"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace vorlane::query::testing
