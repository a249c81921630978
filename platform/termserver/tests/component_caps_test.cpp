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

TEST_F(TermServerCaps, EleventhIdleConnectionFromOneAddressIsClosedAtOnce) {
  const std::string flooder = Loopback(2);
  IdleClients idle(port_, kTelnetGreeting);
  bool loggedIn = false;
  ServeWhile([&] {
    idle.Open(flooder, static_cast<int>(kMaxUnauthenticatedPerAddress) + 1);
    loggedIn = LogIn() != nullptr;
  });
  EXPECT_EQ(idle.Admitted(), kMaxUnauthenticatedPerAddress);
  EXPECT_EQ(idle.Refused(), 1);
  EXPECT_EQ(idle.Failed(), 0);
  EXPECT_TRUE(loggedIn) << "another address logs in meanwhile";
  EXPECT_EQ(Count("Connecting"), kMaxUnauthenticatedPerAddress + 1) << "the refused one raised no event";
  EXPECT_NE(log_.WaitFor("refused " + flooder + ": ")
                .find("refused " + flooder + ": " + std::to_string(kMaxUnauthenticatedPerAddress) +
                      " connections from this address have not logged in yet"),
            std::string::npos)
      << log_.Text();

  // One of them hangs up: its place is free for the same address again, and for one only.
  idle.CloseOne();
  ASSERT_TRUE(DisconnectedReach(2));  // the login above and the one hung up
  ServeWhile([&] { idle.Open(flooder, 2); });
  EXPECT_EQ(idle.Admitted(), kMaxUnauthenticatedPerAddress);
  EXPECT_EQ(idle.Refused(), 2);
}

// Many addresses, each below its own cap: the total cap refuses. At most kMaxUnauthenticated get
// in; the first kUnauthenticatedStart always do.
TEST_F(TermServerCaps, FloodFromManyAddressesIsRefusedByTheTotalCapAndLeavesNoPlaceTaken) {
  constexpr int kAddresses = 10;
  constexpr int kPerAddress = static_cast<int>(kMaxUnauthenticatedPerAddress);
  static_assert(kAddresses * kPerAddress > static_cast<int>(kMaxUnauthenticated) + 30, "past the full mark");
  {
    IdleClients flood(port_, kTelnetGreeting);
    const auto floodStart = std::chrono::steady_clock::now();
    ServeWhile([&] {
      for (int a = 0; a < kAddresses; ++a) flood.Open(Loopback(2 + a), kPerAddress);
    });
    const auto floodSeconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - floodStart).count();
    EXPECT_EQ(flood.Failed(), 0);
    EXPECT_GE(flood.Admitted(), kUnauthenticatedStart);
    EXPECT_LE(flood.Admitted(), kMaxUnauthenticated);
    EXPECT_EQ(static_cast<size_t>(flood.Refused()), kAddresses * kPerAddress - flood.Admitted());
    EXPECT_EQ(Count("Connecting"), flood.Admitted());
    EXPECT_NE(log_.WaitFor(" connections have not logged in yet").find(" connections have not logged in yet"),
              std::string::npos)
        << log_.Text();
    // The refusals are logged at most once a second, not once each.
    const std::vector<std::string> lines = log_.Lines();
    const auto refusalLines = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
      return line.find("TermServer: refused ") != std::string::npos;
    });
    EXPECT_GE(refusalLines, 1);
    EXPECT_LE(refusalLines, 1 + floodSeconds / kRefusalLogInterval.count()) << log_.Text();
    const size_t admitted = flood.Admitted();  // before the hang-up, which empties the list
    flood.CloseAll();
    ASSERT_TRUE(DisconnectedReach(admitted));
  }
  // Every place came back: up to the start's worth, from the same addresses each at its cap, all
  // get in (with places left taken, some would be refused, all of them if none came back).
  constexpr int kAgainAddresses = static_cast<int>(kUnauthenticatedStart / kMaxUnauthenticatedPerAddress);
  IdleClients again(port_, kTelnetGreeting);
  ServeWhile([&] {
    for (int a = 0; a < kAgainAddresses; ++a) again.Open(Loopback(2 + a), kPerAddress);
  });
  EXPECT_EQ(again.Refused(), 0);
  EXPECT_EQ(again.Failed(), 0);
  EXPECT_EQ(again.Admitted(), static_cast<size_t>(kAgainAddresses * kPerAddress));
}

// Up to the start of the random early drop every connection gets in: a login still does with
// that many idle connections open.
TEST_F(TermServerCaps, LoginSucceedsWhileAFloodBelowTheStartIsOpen) {
  constexpr int kAddresses = 4;
  constexpr int kPerAddress = static_cast<int>(kUnauthenticatedStart) / kAddresses;
  static_assert(kPerAddress <= static_cast<int>(kMaxUnauthenticatedPerAddress));
  IdleClients flood(port_, kTelnetGreeting);
  bool loggedIn = false;
  ServeWhile([&] {
    for (int a = 0; a < kAddresses; ++a) flood.Open(Loopback(2 + a), kPerAddress);
    loggedIn = LogIn() != nullptr;
  });
  EXPECT_EQ(flood.Admitted(), static_cast<size_t>(kAddresses * kPerAddress));
  EXPECT_EQ(flood.Refused(), 0);
  EXPECT_TRUE(loggedIn) << "on its first try";
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
  ServeWhile([&] { idle.Open(source, 2); });
  EXPECT_EQ(idle.Admitted(), kMaxUnauthenticatedPerAddress);
  EXPECT_EQ(idle.Refused(), 1);
}

}  // namespace
}  // namespace vorlane::termserver
