// The caps on connections that have not logged in yet, through the real component over Telnet:
// idle clients from other loopback addresses (127.0.0.2 and up) against logins from 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/termserver/limits.h"
#include "platform/termserver/tests/idle_clients.h"
#include "platform/termserver/tests/term_server_host.h"
#include "testing/debug_capture.h"
#include "testing/loop_pump.h"
#include "testing/telnet_client.h"

namespace vorlane::termserver {
namespace {

using namespace vorlane::termserver::testing;
using namespace std::chrono_literals;
using testkit::TelnetClient;

constexpr std::string_view kLoginAnswer = "#keycount=3#responseaction=login#";

class TermServerCaps : public TermServerHost {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(TermServerHost::SetUp());
    Advise(sink_.get());
    StartOnLoopback(kProtocolTelnet, 6000);
  }

  template <class Work>
  void ServeWhile(Work work) {
    ASSERT_TRUE(testkit::RunWhilePumping(*loop_, work, 60s)) << "the clients took too long";
  }

  size_t Count(std::string_view event) {
    const std::vector<std::string> events = sink_->Events();
    return static_cast<size_t>(std::count(events.begin(), events.end(), event));
  }

  // Waits until `count` connections have disconnected: their places are free again by then.
  bool DisconnectedReach(size_t count) {
    return testkit::PumpUntil(*loop_, [&] { return Count("Disconnected") >= count; }, 20s);
  }

  // Logs in as a client from `source`; the client, logged in, or null when the login failed.
  std::unique_ptr<TelnetClient> LogIn(const std::string& source = Loopback(1)) {
    auto client = std::make_unique<TelnetClient>("127.0.0.1", port_, source);
    if (client->AnswerLoginPrompts("monitor", "pw") && client->ReadUntil(kLoginAnswer)) return client;
    return nullptr;
  }

  testkit::DebugCapture log_;
  ComPtr<RecordingSink> sink_ = Make<RecordingSink>();
};

TEST_F(TermServerCaps, ConnectionsBeyondAnAddressShareWaitForAPlaceUpToABound) {
  const std::string flooder = Loopback(2);
  constexpr int kPerAddress = static_cast<int>(kMaxUnauthenticatedPerAddress);
  IdleClients idle(port_, kTelnetGreeting);
  bool loggedIn = false;
  ServeWhile([&] {
    idle.Open(flooder, kPerAddress);
    idle.Connect(flooder, static_cast<int>(kMaxHeldPerAddress) + 1);
    loggedIn = LogIn() != nullptr;
    idle.Settle(200ms);
  });
  EXPECT_EQ(idle.Admitted(), kMaxUnauthenticatedPerAddress);
  EXPECT_EQ(idle.Waiting(), kMaxHeldPerAddress) << "held un-served, neither greeted nor closed";
  EXPECT_EQ(idle.Refused(), 1) << "the one beyond the bound";
  EXPECT_EQ(idle.Failed(), 0);
  EXPECT_TRUE(loggedIn) << "another address logs in meanwhile";
  EXPECT_EQ(Count("Connecting"), kMaxUnauthenticatedPerAddress + 1) << "the held and the refused raised no event";
  EXPECT_NE(log_.WaitFor("waits for a place").find("a connection from " + flooder + " waits for a place: " +
                                                   std::to_string(kPerAddress) + " connections from " + flooder),
            std::string::npos)
      << log_.Text();
  EXPECT_NE(log_.WaitFor("TermServer: refused " + flooder).find(std::to_string(kMaxHeldPerAddress) + " from this address wait"),
            std::string::npos)
      << log_.Text();

  // Two hang up: the two longest-waiting get their places, in turn.
  idle.CloseOne();
  idle.CloseOne();
  ServeWhile([&] { idle.Settle(2s); });
  EXPECT_EQ(idle.Admitted(), kMaxUnauthenticatedPerAddress);
  EXPECT_EQ(idle.Waiting(), kMaxHeldPerAddress - 2);
}

// Idle connections from many addresses, each within its own share, fill every place: a new
// address still gets in at once, by taking a place of an address that holds more.
TEST_F(TermServerCaps, AFloodFromManyAddressesCannotKeepANewAddressOut) {
  constexpr int kAddresses = 40;
  constexpr int kPerAddress = static_cast<int>(kMaxUnauthenticatedPerAddress);
  IdleClients flood(port_, kTelnetGreeting);
  bool loggedIn = false;
  ServeWhile([&] {
    for (int a = 0; a < kAddresses; ++a) flood.Connect("127.0.1." + std::to_string(1 + a), kPerAddress);
    flood.Settle(100ms);
    auto client = std::make_unique<TelnetClient>("127.0.0.1", port_, "127.0.2.1");
    loggedIn = client->AnswerLoginPrompts("monitor", "pw") && client->ReadUntil(kLoginAnswer, 5s);
  });
  EXPECT_EQ(flood.Failed(), 0);
  EXPECT_TRUE(loggedIn);
  EXPECT_NE(log_.WaitFor("to make room for").find("to make room for"), std::string::npos) << log_.Text();
  // The log lines come at most once a second for each kind, not once each.
  const std::vector<std::string> lines = log_.Lines();
  const auto evictionLines = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("to make room for") != std::string::npos;
  });
  EXPECT_LE(evictionLines, 10) << log_.Text();
}

// A login frees its place: logged-in connections from one address are all served, however many,
// and leave that address its full count of connections not logged in yet.
TEST_F(TermServerCaps, LoggedInConnectionsAreNotCounted) {
  constexpr int kLoggedIn = 2 * static_cast<int>(kMaxUnauthenticatedPerAddress);
  const std::string source = Loopback(2);
  std::vector<std::unique_ptr<TelnetClient>> clients;
  int answered = 0;
  IdleClients idle(port_, kTelnetGreeting);
  ServeWhile([&] {
    for (int i = 0; i < kLoggedIn; ++i) {
      if (auto client = LogIn(source)) clients.push_back(std::move(client));
    }
    for (auto& client : clients) {
      client->SendLine("#x#");
      answered += client->ReadUntil("#answer=3#") ? 1 : 0;
    }
    idle.Open(source, static_cast<int>(kMaxUnauthenticatedPerAddress));
  });
  EXPECT_EQ(clients.size(), static_cast<size_t>(kLoggedIn));
  EXPECT_EQ(answered, kLoggedIn);
  EXPECT_EQ(idle.Admitted(), kMaxUnauthenticatedPerAddress);
  EXPECT_EQ(idle.Refused(), 0);
}

// A connection that failed its logins and was closed gives its place back as well.
TEST_F(TermServerCaps, ConnectionClosedAfterFailedLoginsGivesItsPlaceBack) {
  const std::string source = Loopback(2);
  IdleClients idle(port_, kTelnetGreeting);
  bool closed = false;
  ServeWhile([&] {
    idle.Open(source, static_cast<int>(kMaxUnauthenticatedPerAddress) - 1);
    TelnetClient guesser("127.0.0.1", port_, source);
    int tries = 0;
    while (tries < kMaxPasswordTries && guesser.AnswerLoginPrompts("monitor", "wrong")) ++tries;
    closed = tries == kMaxPasswordTries && !guesser.ReadUntil("never sent");
  });
  ASSERT_TRUE(closed);
  ASSERT_TRUE(DisconnectedReach(1));
  ServeWhile([&] {
    idle.Open(source, 1);
    idle.Open(source, 1, 300ms);
  });
  EXPECT_EQ(idle.Admitted(), kMaxUnauthenticatedPerAddress);
  EXPECT_EQ(idle.Waiting(), 1u);
}

}  // namespace
}  // namespace vorlane::termserver
