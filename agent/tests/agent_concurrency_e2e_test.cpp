// Requests side by side in the real program: slow checks on some connections while others are
// answered, answers in order within each connection under load, the bound on checks running at
// once, and the bounded stop. The slow checks are pings of a host that answers nothing, an
// address inside a network namespace of the test's own. The whole test program runs in a
// private network namespace (entered before any thread starts), which the agent inherits.
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "agent/tests/agent_answers.h"
#include "agent/tests/agent_process.h"
#include "ping/tests/private_network.h"
#include "tools/vorlane-query/records.h"

namespace vorlane::agent::testing {
namespace {

using ping::testing::PingNamespace;
using Clock = std::chrono::steady_clock;

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new ping::testing::PrivateNetworkEnvironment);
const std::string kResponder = VORLANE_ICMP_RESPONDER;

const std::string kUser = "monitor";
const std::string kPassword = "Secret-16chars!!";

const std::string kPingTimedOut =
    "#keycount=3#responseaction=runcheck#checkid=PING#result=down#resultstring=Error: Request Timed Out #";
const std::string kStoppingWithOne = "Stopping with 1 requests still running.";

std::string Request(const std::string& action, const std::string& session, const std::string& rest = "") {
  return "#keycount=2#requestaction=" + action + "#sessionid=" + session + "#" + rest;
}

// A ping of `host` with one frame and `timeout` seconds for it.
std::string PingRequest(const std::string& session, const std::string& host, int timeout) {
  return Request("runcheck", session,
                 "checkid=PING#Hostname=" + host + "#Number of frames=1#Success rate=95#Timeout=" +
                     std::to_string(timeout) + "#TOS=#Check TOS-byte consistency=false#");
}

// The disk check of "/" against `bytes`, and its answer, which names the value: tell-apart.
std::string DiskRequest(const std::string& session, long long bytes) {
  return Request("runcheck", session, "checkid=DC#Drive letter=/#Value=" + std::to_string(bytes) + "#Unit=bytes#");
}
std::string DiskAnswer(long long bytes) {
  return "#keycount=3#responseaction=runcheck#checkid=DC#result=up#resultstring=There is more than " +
         std::to_string(bytes) + " bytes free on drive /#";
}

std::string UnknownActionAnswer(const std::string& action) {
  return "#keycount=2#responseaction=" + action + "#errormessage=Unknown request action#";
}

std::string UnknownSessionAnswer(const std::string& action, const std::string& session) {
  return "#keycount=4#responseaction=" + action + "#sessionid=" + session +
         "#sessionvalue=false#errormessage=Unknown session#";
}

size_t Occurrences(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++count;
  return count;
}

// A logged-in Telnet connection.
struct Connection {
  std::unique_ptr<TelnetClient> client;
  std::string session;
};

class AgentConcurrency : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    dead_ = std::make_unique<PingNamespace>();
    ASSERT_TRUE(dead_->ok()) << dead_->error();
  }
  void TearDown() override {
    if (started_ && !stopped_) {
      EXPECT_EQ(agent_.Stop(), 0) << agent_.Log();
    }
  }

  // Starts the agent on a free port; `general` goes into its [GeneralInfo] section.
  void StartAgent(const std::string& general = "") {
    port_ = FreePort();
    agent_.WriteConfig(Config("telnet", port_, general + User("Operators", kUser, kPassword)));
    ASSERT_TRUE(agent_.Start());
    started_ = true;
    ASSERT_TRUE(agent_.WaitForLog("Server started!")) << agent_.Log();
  }

  Connection Connect() {
    Connection connection{std::make_unique<TelnetClient>(port_), ""};
    connection.session = connection.client->Login(kUser, kPassword);
    EXPECT_FALSE(connection.session.empty()) << agent_.Log();
    return connection;
  }

  // Stops the agent with `signal`; its exit status (-1: it had to be killed 10 s after the signal).
  int StopAgent(int signal = SIGTERM) {
    stopped_ = true;
    return agent_.Stop(signal);
  }

  // Waits until the agent has taken up `count` pings of the dead host (it logs each request as
  // it starts on it).
  bool WaitForPingsTaken(size_t count) {
    const std::string ping = "Hostname=" + DeadHost() + "#";
    return PollUntil([&] { return Occurrences(agent_.Log(), ping) >= count; }, 10s);
  }

  // Has `connection` ask for a ping of the dead host with `timeout` seconds, with the request
  // lines `then` behind it in the same write, and waits until the agent runs the ping.
  void StartSlowCheck(const Connection& connection, int timeout, const std::string& then = "") {
    ASSERT_FALSE(connection.session.empty());
    connection.client->Send(PingRequest(connection.session, DeadHost(), timeout) + "\r\n" + then);
    ASSERT_TRUE(WaitForPingsTaken(1)) << agent_.Log();
  }

  std::string DeadHost() const { return dead_->remoteAddress(); }

  std::unique_ptr<PingNamespace> dead_;  // nobody answers there: each ping frame waits its timeout out
  AgentProcess agent_;
  bool started_ = false;
  bool stopped_ = false;
  int port_ = 0;
};

// While every one of four connections waits for a slow check, a fifth is answered at once: its
// answer comes before any of the four, which then all come, each on its own connection.
TEST_F(AgentConcurrency, AnIdleConnectionIsAnsweredWhileSlowChecksRunOnOthers) {
  ASSERT_NO_FATAL_FAILURE(StartAgent());
  std::vector<Connection> pinging;
  for (int i = 0; i < 4; ++i) {
    pinging.push_back(Connect());
    ASSERT_FALSE(pinging.back().session.empty());
    pinging.back().client->SendLine(PingRequest(pinging.back().session, DeadHost(), 5));
  }
  ASSERT_TRUE(WaitForPingsTaken(4)) << "the four checks run side by side\n" << agent_.Log();

  Connection idle = Connect();
  ASSERT_FALSE(idle.session.empty());
  const std::string info = idle.client->Request(Request("agentinfo", idle.session), 10s);
  EXPECT_TRUE(std::regex_match(info, std::regex(kAgentInfoShape))) << info;
  for (size_t i = 0; i < pinging.size(); ++i) {
    EXPECT_FALSE(pinging[i].client->HasText()) << "connection " << i << " was answered before the idle one";
  }
  for (size_t i = 0; i < pinging.size(); ++i) {
    EXPECT_EQ(pinging[i].client->ReadRecord(10s), kPingTimedOut) << "connection " << i << "\n" << agent_.Log();
  }
}

// Nine connections each pipeline two hundred requests of five kinds in one write; each gets its
// own answers, every one of them, in the order it asked.
TEST_F(AgentConcurrency, EachConnectionsAnswersComeInTheOrderOfItsRequests) {
  ASSERT_NO_FATAL_FAILURE(StartAgent());
  constexpr int kConnections = 9;
  constexpr int kRequests = 200;
  std::vector<Connection> connections;
  for (int c = 0; c < kConnections; ++c) {
    connections.push_back(Connect());
    ASSERT_FALSE(connections.back().session.empty());
  }
  // The two answers that do not name anything of the request, as the agent gives them alone.
  const std::string info = connections[0].client->Request(Request("agentinfo", connections[0].session));
  const std::string checks = connections[0].client->Request(Request("listchecks", connections[0].session));
  ASSERT_TRUE(std::regex_match(info, std::regex(kAgentInfoShape))) << info;
  ASSERT_EQ(checks.rfind("#keycount=", 0), 0u) << checks;

  std::vector<std::vector<std::string>> expected(kConnections);
  for (int c = 0; c < kConnections; ++c) {
    const std::string& session = connections[c].session;
    std::string batch;
    for (int i = 0; i < kRequests; ++i) {
      const long long value = c * 1000 + i;
      const std::string unknown = "noaction" + std::to_string(c) + "x" + std::to_string(i);
      // Now and then a slow check: were the connection's requests run side by side, the quick
      // ones after it would overtake it.
      if (i % 50 == 10) {
        batch += PingRequest(session, DeadHost(), 1) + "\r\n";
        expected[c].push_back(kPingTimedOut);
        continue;
      }
      switch (i % 4) {
        case 0:
          batch += Request("agentinfo", session);
          expected[c].push_back(info);
          break;
        case 1:
          batch += Request("listchecks", session);
          expected[c].push_back(checks);
          break;
        case 2:
          batch += DiskRequest(session, value);
          expected[c].push_back(DiskAnswer(value));
          break;
        default:
          batch += Request(unknown, session);
          expected[c].push_back(UnknownActionAnswer(unknown));
          break;
      }
      batch += "\r\n";
    }
    connections[c].client->Send(batch);
  }

  for (int c = 0; c < kConnections; ++c) {
    SCOPED_TRACE("connection " + std::to_string(c));
    const std::vector<std::string> answers = connections[c].client->ReadRecords(kRequests, 60s);
    ASSERT_EQ(answers.size(), expected[c].size()) << agent_.Log().substr(0, 4000);
    for (size_t i = 0; i < answers.size(); ++i) {
      // The first answer out of place is the one to see; those after it follow from it.
      ASSERT_EQ(answers[i], expected[c][i]) << "answer " << i;
    }
    EXPECT_FALSE(connections[c].client->HasText(200ms)) << "more answers than requests";
  }
  // The connections held their input while their lanes were full: the lanes refused nothing.
  EXPECT_EQ(agent_.Log().find("Request dropped"), std::string::npos);
}

// With two checks at most running at once, four slow checks of four connections end in two
// waves: when the first two answers are in, the other two checks have only just started. A
// quick request of an idle connection does not wait for a place among the checks.
TEST_F(AgentConcurrency, MaxConcurrentChecksBoundsTheChecksRunningAtOnce) {
  ASSERT_NO_FATAL_FAILURE(StartAgent("MaxConcurrentChecks=2\r\n"));
  std::vector<Connection> pinging;
  for (int i = 0; i < 4; ++i) {
    pinging.push_back(Connect());
    ASSERT_FALSE(pinging.back().session.empty());
  }
  Connection idle = Connect();
  ASSERT_FALSE(idle.session.empty());
  for (Connection& connection : pinging) connection.client->SendLine(PingRequest(connection.session, DeadHost(), 2));
  idle.client->SendLine(Request("agentinfo", idle.session));
  EXPECT_NE(idle.client->ReadRecord(10s).find("protocolversion=1.9"), std::string::npos);
  for (size_t i = 0; i < pinging.size(); ++i) {
    EXPECT_FALSE(pinging[i].client->HasText()) << "connection " << i << " was answered before the quick request";
  }

  std::vector<bool> answered(pinging.size(), false);
  size_t firstWave = 0;
  ASSERT_TRUE(PollUntil(
      [&] {
        for (size_t i = 0; i < pinging.size(); ++i) {
          if (!answered[i] && pinging[i].client->HasText()) {
            answered[i] = true;
            ++firstWave;
          }
        }
        return firstWave >= 2;
      },
      10s, 5ms))
      << agent_.Log();
  EXPECT_EQ(firstWave, 2u) << "more than two checks ran at once";
  for (size_t i = 0; i < pinging.size(); ++i) {
    if (answered[i]) {
      EXPECT_EQ(pinging[i].client->ReadRecord(5s), kPingTimedOut) << "connection " << i;
    } else {
      EXPECT_FALSE(pinging[i].client->HasText()) << "connection " << i << " was answered in the first wave";
    }
  }
  for (size_t i = 0; i < pinging.size(); ++i) {
    if (!answered[i]) {
      EXPECT_EQ(pinging[i].client->ReadRecord(10s), kPingTimedOut) << "connection " << i;
    }
  }
}

// A check that runs far longer than the stop waits for does not hold the stop up: the agent
// ends, with status 0, after its bounded wait, and says how many requests it left running.
TEST_F(AgentConcurrency, AStopDoesNotWaitForACheckBeyondItsBound) {
  ASSERT_NO_FATAL_FAILURE(StartAgent());
  Connection connection = Connect();
  ASSERT_NO_FATAL_FAILURE(StartSlowCheck(connection, 20));

  const auto start = Clock::now();
  // Stop() kills the program when it has not ended 10 s after the signal; it then answers -1.
  EXPECT_EQ(StopAgent(), 0) << agent_.Log();
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 4s) << "the running check was not waited for";
  EXPECT_NE(agent_.Log().find(kStoppingWithOne), std::string::npos) << agent_.Log();
  EXPECT_EQ(connection.client->ReadRecord(1s), "") << "the check cannot have ended yet";
  EXPECT_TRUE(connection.client->Closed());
}

// A check that ends within the stop's wait still answers its client before the connection
// closes, whichever of the stop signals ends the agent (SIGHUP reloads, see the service tests).
class AgentStopSignal : public AgentConcurrency, public ::testing::WithParamInterface<int> {};

TEST_P(AgentStopSignal, LetsACheckThatEndsInTimeAnswer) {
  ASSERT_NO_FATAL_FAILURE(StartAgent());
  Connection connection = Connect();
  ASSERT_NO_FATAL_FAILURE(StartSlowCheck(connection, 2));

  int status = -2;
  std::thread stop([&] { status = StopAgent(GetParam()); });
  const std::string answer = connection.client->ReadRecord(10s);
  const bool closed = connection.client->Closed();
  stop.join();
  EXPECT_EQ(answer, kPingTimedOut) << agent_.Log();
  EXPECT_TRUE(closed);
  EXPECT_EQ(status, 0) << agent_.Log();
  EXPECT_EQ(agent_.Log().find("Stopping with"), std::string::npos) << agent_.Log();
}

INSTANTIATE_TEST_SUITE_P(StopSignals, AgentStopSignal, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(sigabbrev_np(info.param));
                         });

// Requests that wait behind a slow one on their connection are dropped, never run, when the
// connection ends (its client vanished: a reset) and when the agent stops. The waiting request
// would start a program; the agent logs each request it takes up, so the log tells whether it ran.
TEST_F(AgentConcurrency, WaitingRequestsAreDroppedWhenTheirConnectionEnds) {
  // One check at a time: the request of the connection asked last runs only once the slow
  // check and whatever was queued before it are done with.
  ASSERT_NO_FATAL_FAILURE(StartAgent("MaxConcurrentChecks=1\r\n"));
  Connection leaving = Connect();
  Connection staying = Connect();
  ASSERT_FALSE(staying.session.empty());
  ASSERT_NO_FATAL_FAILURE(StartSlowCheck(
      leaving, 3, Request("executefile", leaving.session, "CommandLine=touch \"%tmp%dropped\"#") + "\r\n"));
  leaving.client->Abort();
  ASSERT_TRUE(agent_.WaitForLog("User disconnected")) << agent_.Log();
  // Had the slow check ended before the connection did, the program would have been started by
  // right; the test then proves nothing.
  const std::string log = agent_.Log();
  ASSERT_LT(log.find("User disconnected"), log.find(kPingTimedOut)) << "the check ended before the connection\n" << log;

  const std::string info = staying.client->Request(Request("agentinfo", staying.session), 10s);
  EXPECT_TRUE(std::regex_match(info, std::regex(kAgentInfoShape))) << info;
  EXPECT_EQ(agent_.Log().find("requestaction=executefile"), std::string::npos) << agent_.Log();
  EXPECT_FALSE(std::filesystem::exists(agent_.Dir() / "dropped"));
}

TEST_F(AgentConcurrency, WaitingRequestsAreDroppedWhenTheAgentStops) {
  ASSERT_NO_FATAL_FAILURE(StartAgent());
  Connection connection = Connect();
  ASSERT_NO_FATAL_FAILURE(StartSlowCheck(
      connection, 2, Request("executefile", connection.session, "CommandLine=touch \"%tmp%dropped\"#") + "\r\n"));

  int status = -2;
  std::thread stop([&] { status = StopAgent(); });
  const std::vector<std::string> answers = connection.client->ReadRecords(2, 10s);
  stop.join();
  EXPECT_EQ(answers, std::vector<std::string>{kPingTimedOut}) << "the running check answers, the waiting request not";
  EXPECT_TRUE(connection.client->Closed());
  EXPECT_EQ(status, 0) << agent_.Log();
  // The agent has ended: whatever it ran has been logged.
  EXPECT_EQ(agent_.Log().find("requestaction=executefile"), std::string::npos) << agent_.Log();
}

// Many connections at work while others come and go and sessions end, then a stop in the middle
// of it all: every answer that arrives is whole and the one its request asked for, the agent
// ends with status 0, and (in the sanitizer build) nothing is reported.
TEST_F(AgentConcurrency, StressWithConnectionsComingAndGoingAndAStop) {
  PingNamespace live;
  ASSERT_TRUE(live.ok()) << live.error();
  ASSERT_TRUE(live.StartResponder(kResponder, {})) << live.error();
  ASSERT_NO_FATAL_FAILURE(StartAgent());
  const std::string liveUp = "#keycount=3#responseaction=runcheck#checkid=PING#result=up#resultstring=ping of " +
                             live.remoteAddress() + " OK with a successrate of 100%@@RTO=#";
  const std::string executed = "#keycount=3#responseaction=executefile#result=up#resultstring=Execute file started ok#";
  const std::string deletePrefix = "#keycount=3#responseaction=deletefile#result=";

  constexpr int kWorking = 32;
  constexpr int kMostRounds = 500;
  std::vector<Connection> working;
  for (int c = 0; c < kWorking; ++c) {
    working.push_back(Connect());
    ASSERT_FALSE(working.back().session.empty()) << "connection " << c;
  }
  const std::string info = working[0].client->Request(Request("agentinfo", working[0].session));
  ASSERT_TRUE(std::regex_match(info, std::regex(kAgentInfoShape))) << info;

  std::atomic<int> answers{0};
  std::atomic<int> churned{0};
  std::atomic<bool> stopping{false};
  // Each working connection asks in turn for a disk check, a ping of the dead and of the live
  // host, the agent's information and a file action on a file of its own; it stops when the
  // connection closes (the agent stopped) or a request goes unanswered.
  auto work = [&](int c) {
    Connection& connection = working[c];
    const std::string file = "stress-" + std::to_string(c);
    for (int round = 0; round < kMostRounds; ++round) {
      std::string request, answer;
      std::string expected;  // empty: only the prefix below is known
      std::string prefix;
      switch ((c + round) % 6) {
        case 0:
          request = DiskRequest(connection.session, c * 1000 + round);
          expected = DiskAnswer(c * 1000 + round);
          break;
        case 1:
          request = PingRequest(connection.session, DeadHost(), 1);
          expected = kPingTimedOut;
          break;
        case 2:
          request = PingRequest(connection.session, live.remoteAddress(), 2);
          expected = liveUp;
          break;
        case 3:
          request = Request("agentinfo", connection.session);
          expected = info;
          break;
        case 4:
          request = Request("executefile", connection.session, "CommandLine=touch \"%tmp%" + file + "\"#");
          expected = executed;
          break;
        default:
          // The file may or may not be there yet: the program that makes it runs on its own.
          request = Request("deletefile", connection.session, "FileName=%tmp%" + file + "#");
          prefix = deletePrefix;
          break;
      }
      answer = connection.client->Request(request, 15s);
      if (answer.empty()) {
        EXPECT_TRUE(stopping.load()) << "connection " << c << ": no answer to " << request;
        return;
      }
      ++answers;
      EXPECT_TRUE(query::IsWholeRecord(answer)) << answer;
      if (!expected.empty()) {
        EXPECT_EQ(WithoutRoundTripValue(answer), expected) << "connection " << c << ", round " << round;
      } else {
        EXPECT_EQ(answer.rfind(prefix, 0), 0u) << answer;
      }
    }
  };
  // Meanwhile connections come, log in, ask once and go; every third one logs out instead, and
  // its session is then unknown to it and to a connection of its own.
  auto churn = [&] {
    for (int round = 0; round < kMostRounds && !stopping; ++round) {
      TelnetClient passing(port_);
      const std::string session = passing.Login(kUser, kPassword);
      if (session.empty()) {
        EXPECT_TRUE(stopping.load()) << "login refused, round " << round;
        return;
      }
      if (round % 3 != 0) {
        const std::string answer = passing.Request(Request("agentinfo", session));
        if (answer.empty() && stopping) return;
        EXPECT_EQ(answer, info) << "round " << round;
      } else {
        // The logout and the request after it are answered in order on this connection: once
        // the session is unknown here, it is unknown to every connection.
        passing.SendLine(Request("logout", session));
        std::string answer = passing.Request(Request("agentinfo", session));
        if (answer.empty() && stopping) return;
        EXPECT_EQ(answer, UnknownSessionAnswer("agentinfo", session)) << "round " << round;
        TelnetClient other(port_);
        if (other.Login(kUser, kPassword).empty() && stopping) return;
        answer = other.Request(Request("agentinfo", session));
        if (answer.empty() && stopping) return;
        EXPECT_EQ(answer, UnknownSessionAnswer("agentinfo", session)) << "round " << round;
      }
      ++churned;
    }
  };

  std::vector<std::thread> threads;
  for (int c = 0; c < kWorking; ++c) threads.emplace_back(work, c);
  threads.emplace_back(churn);
  // Enough under way (each working connection through its first rounds, a few passers-by),
  // then the stop.
  EXPECT_TRUE(PollUntil([&] { return answers >= 3 * kWorking && churned >= 3; }, 15s)) << agent_.Log();
  stopping = true;
  const int status = StopAgent();
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(status, 0) << agent_.Log();
  const std::string log = agent_.Log();
  EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
  EXPECT_EQ(log.find("runtime error"), std::string::npos) << log;
}

}  // namespace
}  // namespace vorlane::agent::testing
