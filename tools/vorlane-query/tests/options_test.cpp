#include "tools/vorlane-query/options.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>

namespace vorlane::query {
namespace {

using namespace std::chrono_literals;

struct FakeEnv {
  std::map<std::string, std::string> values;
  EnvLookup Lookup() const {
    return [this](const char* name) -> const char* {
      auto it = values.find(name);
      return it == values.end() ? nullptr : it->second.c_str();
    };
  }
};

TEST(QueryOptions, DefaultsAreSshOnLoopbackWithThePasswordFromTheDefaultVariable) {
  FakeEnv env{{{"VORLANE_PASSWORD", "pw"}}};
  ParseResult result = ParseOptions({"--user", "monitor", "#a=1#", "#b=2#"}, env.Lookup());
  ASSERT_TRUE(result.options) << result.error;
  const Settings& s = result.options->settings;
  EXPECT_EQ(s.protocol, Protocol::kSsh);
  EXPECT_EQ(s.host, "127.0.0.1");
  EXPECT_EQ(s.port, 22);
  EXPECT_EQ(s.user, "monitor");
  EXPECT_EQ(s.password, "pw");
  EXPECT_EQ(s.timeout, 10s);
  EXPECT_EQ(result.options->records, (std::vector<std::string>{"#a=1#", "#b=2#"}));
}

TEST(QueryOptions, TelnetDefaultsToPort23AndTakesEveryOption) {
  FakeEnv env{{{"MY_PW", "secret"}}};
  ParseResult result = ParseOptions(
      {"--telnet", "--host=agent.example", "--user", "u", "--password-env", "MY_PW", "--timeout", "1.5"}, env.Lookup());
  ASSERT_TRUE(result.options) << result.error;
  EXPECT_EQ(result.options->settings.protocol, Protocol::kTelnet);
  EXPECT_EQ(result.options->settings.port, 23);
  EXPECT_EQ(result.options->settings.host, "agent.example");
  EXPECT_EQ(result.options->settings.password, "secret");
  EXPECT_EQ(result.options->settings.timeout, 1500ms);
  EXPECT_EQ(result.options->settings.timeoutText, "1.5");
  EXPECT_TRUE(result.options->records.empty());
}

TEST(QueryOptions, PasswordFileGivesItsFirstLine) {
  char path[] = "/tmp/vorlane-query-pw-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  std::ofstream(path) << "first\r\nsecond\n";
  ParseResult result = ParseOptions({"--user", "u", "--password-file", path, "--port", "2222"}, FakeEnv{}.Lookup());
  ::unlink(path);
  ASSERT_TRUE(result.options) << result.error;
  EXPECT_EQ(result.options->settings.password, "first");
  EXPECT_EQ(result.options->settings.port, 2222);
}

TEST(QueryOptions, UsageErrorsAreExplained) {
  FakeEnv env{{{"VORLANE_PASSWORD", "pw"}}};
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"#a#"}, "no user name"},
      {{"--user", "u", "--bogus"}, "unknown option --bogus"},
      {{"--user", "u", "--port", "0"}, "bad port"},
      {{"--user", "u", "--port", "70000"}, "bad port"},
      {{"--user", "u", "--port"}, "needs a value"},
      {{"--user", "u", "--timeout", "0"}, "bad timeout"},
      {{"--user", "u", "--timeout", "soon"}, "bad timeout"},
      {{"--user", "u", "--ssh", "--telnet"}, "exclude each other"},
      {{"--user", "u", "--password", "pw"}, "never taken on the command line"},
      {{"--user", "u", "--password-file", "/nonexistent/pw"}, "cannot read the password file"},
      {{"--user", "u", "--password-file", "f", "--password-env", "X"}, "exclude each other"},
      {{"--user", "u", "--telnet", "--known-hosts", "k"}, "--ssh only"},
  };
  for (const auto& [args, message] : cases) {
    ParseResult result = ParseOptions(args, env.Lookup());
    EXPECT_FALSE(result.options) << message;
    EXPECT_NE(result.error.find(message), std::string::npos) << result.error;
  }
}

TEST(QueryOptions, AMissingPasswordNamesTheVariable) {
  ParseResult result = ParseOptions({"--user", "u"}, FakeEnv{}.Lookup());
  ASSERT_FALSE(result.options);
  EXPECT_NE(result.error.find("VORLANE_PASSWORD"), std::string::npos) << result.error;
  result = ParseOptions({"--user", "u", "--password-env", "OTHER"}, FakeEnv{}.Lookup());
  ASSERT_FALSE(result.options);
  EXPECT_NE(result.error.find("OTHER"), std::string::npos) << result.error;
}

TEST(QueryOptions, DoubleDashEndsTheOptions) {
  FakeEnv env{{{"VORLANE_PASSWORD", ""}}};
  ParseResult result = ParseOptions({"--user", "u", "--", "--not-an-option"}, env.Lookup());
  ASSERT_TRUE(result.options) << result.error;
  EXPECT_EQ(result.options->settings.password, "");
  EXPECT_EQ(result.options->records, std::vector<std::string>{"--not-an-option"});
}

}  // namespace
}  // namespace vorlane::query
