// The ping check end to end: the real program asked over Telnet, pinging through the real ping
// component an echo responder inside a network namespace of the test's own. The whole test
// program runs in a private network namespace (entered before any thread starts), which the
// agent inherits, so it reaches the responder's addresses and nothing else.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent/tests/agent_answers.h"
#include "agent/tests/agent_process.h"
#include "ping/icmp_echo.h"
#include "ping/tests/private_network.h"

namespace vorlane::agent::testing {
namespace {

using ping::testing::PingNamespace;

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new ping::testing::PrivateNetworkEnvironment);
const std::string kResponder = VORLANE_ICMP_RESPONDER;

constexpr std::string_view kUpPrefix = "#keycount=3#responseaction=runcheck#checkid=PING#result=up#resultstring=";
constexpr std::string_view kDownPrefix = "#keycount=3#responseaction=runcheck#checkid=PING#result=down#resultstring=";

// The request's parameters, sent as given.
struct PingParameters {
  std::string checkId = "PING";
  std::string host;
  std::string frames = "5";
  std::string rate = "95";
  std::string timeout = "2";
  std::string tos;
  std::string checkTos = "false";
};

class AgentPing : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    ns_ = std::make_unique<PingNamespace>();
    ASSERT_TRUE(ns_->ok()) << ns_->error();
    ASSERT_TRUE(agent_.Start());
  }
  void TearDown() override { EXPECT_EQ(agent_.Stop(), 0) << agent_.Log(); }

  void StartResponder(const std::vector<std::string>& args) {
    ASSERT_TRUE(ns_->StartResponder(kResponder, args)) << ns_->error();
  }

  std::string Ping(const PingParameters& p) {
    return agent_.Request("runcheck", "checkid=" + p.checkId + "#Hostname=" + p.host +
                                          "#Number of frames=" + p.frames + "#Success rate=" + p.rate +
                                          "#Timeout=" + p.timeout + "#TOS=" + p.tos +
                                          "#Check TOS-byte consistency=" + p.checkTos + "#");
  }

  PingParameters ToResponder() const {
    PingParameters p;
    p.host = ns_->remoteAddress();
    return p;
  }

  std::unique_ptr<PingNamespace> ns_;
  LoggedInAgent agent_;
};

TEST_F(AgentPing, AnswersByTheShareOfFramesAnswered) {
  const std::string host = ns_->remoteAddress();
  ASSERT_NO_FATAL_FAILURE(StartResponder({}));
  const std::string allAnswered = std::string(kUpPrefix) + "ping of " + host + " OK with a successrate of 100%@@RTO=#";
  EXPECT_EQ(WithoutRoundTripValue(Ping(ToResponder())), allAnswered) << agent_.Log();
  PingParameters ping4 = ToResponder();
  ping4.checkId = "PING4";
  EXPECT_EQ(WithoutRoundTripValue(Ping(ping4)), allAnswered);

  // The fifth frame goes unanswered.
  ASSERT_NO_FATAL_FAILURE(StartResponder({"--answer-pattern", "11110"}));
  EXPECT_EQ(WithoutRoundTripValue(Ping(ToResponder())),
            std::string(kDownPrefix) + "ping of " + host +
                " failed due to a successrate of only 80%. Error: Request Timed Out. @@RTO=#");

  // Nobody answers (the namespace's kernel does not either).
  ns_->StopResponder();
  PingParameters quick = ToResponder();
  quick.timeout = "1";
  EXPECT_EQ(Ping(quick), std::string(kDownPrefix) + "Error: Request Timed Out #");
  // A threshold of 0 % is met all the same.
  quick.rate = "0";
  EXPECT_EQ(WithoutRoundTripValue(Ping(quick)),
            std::string(kUpPrefix) + "ping of " + host + " OK with a successrate of 0%@@RTO=#");
}

TEST_F(AgentPing, TosConsistencyIsCheckedOnlyWhenAsked) {
  const std::string host = ns_->remoteAddress();
  // The responder answers with TOS 4 whatever the request had.
  ASSERT_NO_FATAL_FAILURE(StartResponder({"--tos", "4"}));
  PingParameters p = ToResponder();
  p.tos = "16";
  p.checkTos = "true";
  EXPECT_EQ(Ping(p), std::string(kDownPrefix) + "Error: Received ping has a different TOS than the sent ping ! #")
      << agent_.Log();

  const std::string allAnswered = std::string(kUpPrefix) + "ping of " + host + " OK with a successrate of 100%@@RTO=#";
  p.checkTos = "True";
  EXPECT_EQ(WithoutRoundTripValue(Ping(p)), allAnswered);
  p.checkTos = "false";
  EXPECT_EQ(WithoutRoundTripValue(Ping(p)), allAnswered);
  // 260 is TOS 4 in a byte: the answers match.
  p.checkTos = "true";
  p.tos = "260";
  EXPECT_EQ(WithoutRoundTripValue(Ping(p)), allAnswered);
}

TEST_F(AgentPing, UnresolvableHostIsDownWithTheResolversText) {
  PingParameters p;
  p.host = "nohost.invalid";
  p.timeout = "1";
  const std::string answer = Ping(p);
  // Which failure the resolver reports depends on the host's resolver setup (a name server that
  // cannot be reached is a temporary failure); each is reported by its text alone.
  std::vector<std::string> expected;
  for (const uint32_t code : {ping::kResolveHostNotFound, ping::kResolveTryAgain, ping::kResolveNoRecovery}) {
    std::string text = ping::ResolverErrorText(code);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    expected.push_back(std::string(kDownPrefix) + "Error: " + text + " #");
  }
  EXPECT_NE(std::find(expected.begin(), expected.end(), answer), expected.end()) << answer << "\n" << agent_.Log();
}

// The service manager's stop arrives as SIGTERM while a check is under way: the agent, started
// as a service, finishes the request (the client gets its whole answer, or sees the connection
// close) and then ends cleanly, in its own time, with status 0.
TEST(AgentPingService, StopDuringACheckEndsCleanly) {
  REQUIRE_PRIVATE_NETWORK();
  PingNamespace ns;
  ASSERT_TRUE(ns.ok()) << ns.error();
  ASSERT_TRUE(ns.StartResponder(kResponder, {"--delay-ms", "1500"})) << ns.error();
  AgentProcess agent;
  const int port = FreePort();
  agent.WriteConfig(Config("telnet", port, User("Operators", "monitor", "Secret-16chars!!")));
  ASSERT_TRUE(agent.Start({}, {"INVOCATION_ID=5e2d7c0aa2b44f0c9d3e8f1a6b7c4d21"}));
  ASSERT_TRUE(agent.WaitForLog("Server started!")) << agent.Log();
  TelnetClient client(port);
  const std::string session = client.Login("monitor", "Secret-16chars!!");
  ASSERT_FALSE(session.empty()) << agent.Log();

  // Two frames answered 1.5 s late each: the check takes about 3 s.
  const std::string host = ns.remoteAddress();
  client.SendLine("#requestaction=runcheck#sessionid=" + session + "#checkid=PING#Hostname=" + host +
                  "#Number of frames=2#Success rate=95#Timeout=10#TOS=#Check TOS-byte consistency=false#");
  ASSERT_TRUE(agent.WaitForLog("Received from 127.0.0.1")) << agent.Log();
  int status = -2;
  std::thread stop([&] { status = agent.Stop(); });
  const std::string answer = client.ReadRecord(20s);
  stop.join();

  EXPECT_EQ(status, 0) << agent.Log();
  if (answer.empty()) {
    EXPECT_TRUE(client.Closed()) << "neither an answer nor a closed connection";
  } else {
    EXPECT_EQ(WithoutRoundTripValue(answer),
              std::string(kUpPrefix) + "ping of " + host + " OK with a successrate of 100%@@RTO=#");
  }
  EXPECT_EQ(agent.Log().find("Sanitizer"), std::string::npos) << agent.Log();
}

}  // namespace
}  // namespace vorlane::agent::testing
