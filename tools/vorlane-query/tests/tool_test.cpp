// The vorlane-query program run as a child process against the terminal server component.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <map>
#include <optional>

#include "tools/vorlane-query/tests/query_server.h"

extern char** environ;

namespace vorlane::query::testing {
namespace {

struct ToolResult {
  int status = -1;  // exit status, or -1 when it did not exit normally
  std::string out;
  std::string err;
};


class QueryTool : public QueryServer {
 protected:
  // Runs the program with `args`, `input` as standard input and the environment changed by
  // `env` (a missing value removes the variable), while this apartment serves the server.
  ToolResult Run(const std::vector<std::string>& args, const std::string& input = "",
                 const std::map<std::string, std::optional<std::string>>& env = {{"VORLANE_PASSWORD", "pw"}}) {
    std::ofstream(dir_ / "stdin") << input;
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      if (!env.contains(entry.substr(0, entry.find('=')))) environment.push_back(entry);
    }
    for (const auto& [name, value] : env) {
      if (value) environment.push_back(name + "=" + *value);
    }
    std::vector<std::string> argv{VORLANE_QUERY_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    auto pointers = [](std::vector<std::string>& strings) {
      std::vector<char*> out;
      for (std::string& s : strings) out.push_back(s.data());
      out.push_back(nullptr);
      return out;
    };
    std::vector<char*> argvPointers = pointers(argv);
    std::vector<char*> envPointers = pointers(environment);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, (dir_ / "stdin").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (dir_ / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (dir_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, argvPointers.data(), envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    ToolResult result;
    if (spawned != 0) {
      ADD_FAILURE() << "cannot start " << argv[0];
      return result;
    }
    int status = 0;
    bool exited = false;
    PumpUntil([&] { return exited = ::waitpid(pid, &status, WNOHANG) == pid; });
    if (!exited) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      ADD_FAILURE() << "the program did not finish in time";
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = testkit::ReadFile(dir_ / "stdout");
    result.err = testkit::ReadFile(dir_ / "stderr");
    return result;
  }

  std::vector<std::string> Target() const {
    return {protocol_ == Protocol::kSsh ? "--ssh" : "--telnet", "--port", std::to_string(port_), "--user", "monitor"};
  }
  static std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }
};

TEST_F(QueryTool, SshLoginAndTwoRequestsPrintTheAnswersInOrder) {
  Start(Protocol::kSsh, true);
  ToolResult r = Run(Join(Target(), {"#keycount=1#requestaction=agentinfo#", "#requestaction=x#"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "#keycount=3#responseaction=login#\n#answer=36#\n#answer=17#\n");
  EXPECT_NE(r.err.find("SHA256:"), std::string::npos) << r.err;
}

TEST_F(QueryTool, TelnetLoginAndTwoRequestsPrintTheAnswersInOrder) {
  Start(Protocol::kTelnet, true);
  ToolResult r = Run(Join(Target(), {"#keycount=1#requestaction=agentinfo#", "#requestaction=x#"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "#keycount=3#responseaction=login#\n#answer=36#\n#answer=17#\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(QueryTool, WrongPasswordExitsWithFourOverBothProtocols) {
  for (Protocol protocol : {Protocol::kSsh, Protocol::kTelnet}) {
    TearDown();
    SetUp();
    Start(protocol, true);
    ToolResult r = Run(Target(), "", {{"VORLANE_PASSWORD", "wrong"}});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("vorlane-query: login refused"), std::string::npos) << r.err;
  }
}

TEST_F(QueryTool, AMissingAnswerExitsWithThreeAfterTheOtherRequests) {
  Start(Protocol::kTelnet, false);
  ToolResult r = Run(Join(Target(), {"--timeout", "0.5", "#requestaction=silent#", "#requestaction=x#"}));
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, std::string(kLoginAnswer) + "\n#answer=17#\n");
  EXPECT_EQ(r.err, "vorlane-query: no answer within 0.5 s\n");
}

TEST_F(QueryTool, SessionPlaceholderIsFilledInFromTheLoginAnswer) {
  Start(Protocol::kSsh, false);
  ToolResult r = Run(Join(Target(), {"#keycount=2#requestaction=agentinfo#sessionid={session}#"}));
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string sent = std::string("#keycount=2#requestaction=agentinfo#sessionid=") + kSessionId + "#";
  EXPECT_EQ(sink_->Requests(), std::vector<std::string>{sent});
  EXPECT_EQ(r.out, std::string(kLoginAnswer) + "\n#answer=" + std::to_string(sent.size()) + "#\n");
}

TEST_F(QueryTool, RequestsComeFromStandardInputWithoutArguments) {
  Start(Protocol::kTelnet, false);
  ToolResult r = Run(Target(), "#requestaction=a#\r\n\n  \n#requestaction=bb#\n#requestaction=logout#\n");
  EXPECT_EQ(r.status, 0) << r.err;
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
  EXPECT_EQ(fromFile.status, 0) << fromFile.err;
  EXPECT_EQ(fromFile.out, std::string(kLoginAnswer) + "\n#answer=17#\n");
  ToolResult fromEnv = Run(Join(Target(), {"--password-env", "QUERY_TEST_PW", "#requestaction=x#"}), "",
                           {{"VORLANE_PASSWORD", "wrong"}, {"QUERY_TEST_PW", "pw"}});
  EXPECT_EQ(fromEnv.status, 0) << fromEnv.err;
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
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("usage: vorlane-query"), std::string::npos) << r.err;
  }
  ToolResult noPassword = Run({"--user", "monitor"}, "", {{"VORLANE_PASSWORD", std::nullopt}});
  EXPECT_EQ(noPassword.status, 2);
  EXPECT_NE(noPassword.err.find("no password"), std::string::npos) << noPassword.err;
  ToolResult help = Run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: vorlane-query"), std::string::npos);
}

TEST_F(QueryTool, UnverifiedHostKeyIsAConnectionFailure) {
  Start(Protocol::kSsh, true);
  std::ofstream(dir_ / "known_hosts") << "";
  ToolResult r = Run(Join(Target(), {"--known-hosts", (dir_ / "known_hosts").string()}));
  EXPECT_EQ(r.status, 4);
  EXPECT_NE(r.err.find("is not listed in"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace vorlane::query::testing
