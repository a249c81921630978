// The terminal server driven as the agent drives it: created by class id through the class
// registry, configured and started late-bound, its events handled on this test's apartment
// while a Telnet client on loopback logs in and sends requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/com/com_object.h"
#include "platform/com/dispatch_table.h"
#include "platform/com/registry.h"
#include "platform/com/tests/fixture_component/test_support.h"
#include "platform/com/variant.h"
#include "platform/termserver/term_server_contract.h"
#include "platform/termserver/limits.h"
#include "platform/termserver/tests/term_server_host.h"
#include "testing/loop_pump.h"
#include "testing/telnet_client.h"

namespace vorlane::termserver {
namespace {

using namespace vorlane::com;
using namespace vorlane::termserver::testing;
using namespace std::chrono_literals;
using testkit::TelnetClient;

class TermServerComponent : public TermServerHost {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(TermServerHost::SetUp());
    Advise(sink_.get());
  }

  void StartTelnet() { StartOnLoopback(kProtocolTelnet, 6000); }

  // Runs `work` on a thread of its own while this apartment serves the events (20 s at most).
  template <class Work>
  void ServeWhile(Work work) {
    testkit::RunWhilePumping(*loop_, work, 20s);
  }

  // A client on another thread (this one pumps the events) that waits for the login prompt.
  bool ClientIsPrompted() {
    bool prompted = false;
    ServeWhile([&] {
      TelnetClient telnet(port_);
      prompted = telnet.Connected() && telnet.ReadUntil("login: ");
    });
    return prompted;
  }

  ComPtr<RecordingSink> sink_ = Make<RecordingSink>();
};

TEST_F(TermServerComponent, TelnetLoginAndRequestsRaiseTheirEventsInOrder) {
  StartTelnet();
  bool loggedIn = false, answered = false, hashAnswered = false;
  ServeWhile([&] {
    TelnetClient telnet(port_);
    if (telnet.AnswerLoginPrompts("monitor", "pw")) {
      loggedIn = telnet.ReadUntil("#keycount=3#responseaction=login#");
      // No line end: complete after the quiet time behind the closing '#' (as long as no line
      // end has ended a request of this client).
      telnet.Send("#requestaction=x#");
      hashAnswered = telnet.ReadUntil("#answer=17#");
      telnet.SendLine("#keycount=1#requestaction=agentinfo#");
      answered = telnet.ReadUntil("#answer=36#");
    }
  });
  EXPECT_TRUE(loggedIn);
  EXPECT_TRUE(answered);
  EXPECT_TRUE(hashAnswered);
  // The disconnect arrives once the client has gone.
  testkit::PumpUntil(*loop_, [&] {
    auto events = sink_->Events();
    return !events.empty() && events.back() == "Disconnected";
  });
  EXPECT_EQ(sink_->Events(),
            (std::vector<std::string>{"Connecting", "LoginPassword:monitor", "ServiceRequest:1", "ServiceStart:0",
                                      "Received:#requestaction=x#", "Received:#keycount=1#requestaction=agentinfo#",
                                      "Disconnected"}));
}

// A request is bytes: the length the Received event gives (in UTF-16 units, one per byte that is
// no UTF-8, two for a character beyond U+FFFF) reads the whole request, and what the application
// reads is byte for byte what the client sent.
TEST_F(TermServerComponent, RequestBytesThatAreNoUtf8ReachTheApplicationAsSent) {
  StartTelnet();
  const std::string request = "#x=caf\xE9|\xC3\xA9|\xF0\x9F\x98\x80|\xED\xB3\xA9|\xE2\x82#";
  bool answered = false;
  ServeWhile([&] {
    TelnetClient telnet(port_);
    if (telnet.AnswerLoginPrompts("monitor", "pw") && telnet.ReadUntil("#keycount=3#responseaction=login#")) {
      telnet.SendLine(request);
      answered = telnet.ReadUntil("#answer=" + std::to_string(request.size()) + "#");
    }
  });
  EXPECT_TRUE(answered);
  const std::vector<std::string> events = sink_->Events();
  EXPECT_NE(std::find(events.begin(), events.end(), "Received:" + request), events.end())
      << ::testing::PrintToString(events);
}

TEST_F(TermServerComponent, WrongPasswordsAreRefusedAndTheConnectionClosedAfterThree) {
  StartTelnet();
  bool closed = false;
  ServeWhile([&] {
    TelnetClient telnet(port_);
    for (int i = 0; i < 3 && telnet.ReadUntil("login: "); ++i) {
      telnet.SendLine("monitor");
      if (!telnet.ReadUntil("Password: ")) break;
      telnet.SendLine("wrong");
      telnet.ReadUntil("\n");
    }
    closed = !telnet.ReadUntil("never sent");
  });
  EXPECT_TRUE(closed);
  int logins = 0;
  for (const std::string& event : sink_->Events()) logins += event.rfind("LoginPassword:", 0) == 0;
  EXPECT_EQ(logins, 3);
  for (const std::string& event : sink_->Events()) EXPECT_EQ(event.rfind("ServiceStart", 0), std::string::npos);
}

// A login goes on to its shell only when the application serves it: a refused service request,
// or a type other than the application's, closes the connection after the login.
TEST_F(TermServerComponent, TheShellStartsOnlyWhenTheApplicationServesIt) {
  struct Case {
    const char* what;
    int32_t type;
    int32_t accept;
    bool started;
  };
  const Case cases[] = {
      {"served", kServiceApplication, 1, true},
      {"refused", kServiceApplication, 0, false},
      {"another type", kServiceSftp, 1, false},
  };
  StartTelnet();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sink_->shellType = c.type;
    sink_->shellAccept = c.accept;
    const size_t eventsBefore = sink_->Events().size();
    bool loginAnswer = false, served = false, closed = false;
    ServeWhile([&] {
      TelnetClient telnet(port_);
      if (!telnet.AnswerLoginPrompts("monitor", "pw")) return;
      loginAnswer = telnet.ReadUntil("#keycount=3#responseaction=login#", c.started ? 10s : 1s);
      if (loginAnswer) {
        telnet.SendLine("#one#");
        served = telnet.ReadUntil("#answer=5#");
      } else {
        closed = telnet.Closed();
      }
    });
    EXPECT_EQ(loginAnswer, c.started);
    EXPECT_EQ(served, c.started);
    EXPECT_EQ(closed, !c.started);
    std::vector<std::string> events = sink_->Events();
    events.erase(events.begin(), events.begin() + static_cast<std::ptrdiff_t>(eventsBefore));
    const std::string request = "ServiceRequest:" + std::to_string(kServiceShell);
    EXPECT_NE(std::find(events.begin(), events.end(), request), events.end()) << ::testing::PrintToString(events);
    const bool startRaised = std::any_of(events.begin(), events.end(),
                                         [](const std::string& event) { return event.rfind("ServiceStart", 0) == 0; });
    EXPECT_EQ(startRaised, c.started) << ::testing::PrintToString(events);
  }
}

TEST_F(TermServerComponent, BadSettingsAreRefusedWithAnError) {
  EXPECT_NE(Put(server_.get(), kServerProtocol, Variant(int32_t{2})), S_OK);
  EXPECT_NE(Call(server_.get(), kServerStart, {Variant()}), S_OK) << "no protocol chosen yet";
  ASSERT_EQ(Put(server_.get(), kServerProtocol, Variant(int32_t{kProtocolTelnet})), S_OK);
  ASSERT_EQ(Put(server_.get(), kServerBindAddress, Variant(u"192.0.2.55")), S_OK);  // not an address of this host
  ASSERT_EQ(Put(server_.get(), kServerPort, Variant(int32_t{0})), S_OK);
  EXPECT_NE(Call(server_.get(), kServerStart, {Variant()}), S_OK);
  // The fallback the agent uses: all interfaces.
  ASSERT_EQ(Put(server_.get(), kServerBindAddress, Variant(u"")), S_OK);
  EXPECT_EQ(Call(server_.get(), kServerStart, {Variant()}), S_OK);
  EXPECT_EQ(Call(server_.get(), kServerStop, {}), S_OK);
}

TEST_F(TermServerComponent, StopReturnsQuicklyWithClientsConnected) {
  StartTelnet();
  std::vector<std::unique_ptr<TelnetClient>> clients;
  for (int i = 0; i < 5; ++i) clients.push_back(std::make_unique<TelnetClient>(port_));
  ServeWhile([&] { clients.back()->ReadUntil("login: "); });
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(Call(server_.get(), kServerStop, {}), S_OK);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 3s);
  EXPECT_FALSE(clients.front()->ReadUntil("never sent")) << "connections are closed";
}

// One address may have only so many connections not logged in yet: the clients take turns to
// log in, and then send their requests together.
TEST_F(TermServerComponent, FiftyConnectionsAreServedTogether) {
  StartTelnet();
  constexpr int kClients = 50;
  constexpr auto kTogether = static_cast<std::ptrdiff_t>(kMaxUnauthenticatedPerAddress);
  std::counting_semaphore<kTogether> loggingIn(kTogether);
  std::atomic<int> finished{0};
  std::atomic<int> answered{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      const std::string request = "#client=" + std::to_string(i) + "#";
      loggingIn.acquire();
      TelnetClient telnet(port_);
      const bool loggedIn = telnet.AnswerLoginPrompts("monitor", "pw") && telnet.ReadUntil("responseaction=login#");
      loggingIn.release();
      if (loggedIn) {
        telnet.SendLine(request);
        if (telnet.ReadUntil("#answer=" + std::to_string(request.size()) + "#")) answered++;
      }
      if (++finished == kClients) done = true;
    });
  }
  testkit::PumpUntil(*loop_, [&] { return done.load(); }, 20s);
  for (auto& client : clients) client.join();
  EXPECT_EQ(answered.load(), kClients);
  int received = 0;
  for (const std::string& event : sink_->Events()) received += event.rfind("Received:#client=", 0) == 0;
  EXPECT_EQ(received, kClients);
}

// The places are filled with logged-in connections: connections not logged in yet could never
// take them all.
TEST_F(TermServerComponent, ConnectionsBeyondTheCapAreClosedAtOnce) {
  StartTelnet();
  std::vector<std::unique_ptr<TelnetClient>> clients;
  ServeWhile([&] {
    for (size_t i = 0; i < kMaxConnections; ++i) {
      auto client = std::make_unique<TelnetClient>(port_);
      if (!client->AnswerLoginPrompts("monitor", "pw") || !client->ReadUntil("responseaction=login#")) break;
      clients.push_back(std::move(client));
    }
  });
  ASSERT_EQ(clients.size(), kMaxConnections);
  auto count = [&](std::string_view name) {
    size_t count = 0;
    for (const std::string& event : sink_->Events()) count += event == name;
    return count;
  };
  auto connecting = [&] { return count("Connecting"); };
  ASSERT_EQ(connecting(), kMaxConnections);

  TelnetClient extra(port_);
  bool refused = false;
  ServeWhile([&] { refused = !extra.ReadUntil("login: "); });  // closed without a prompt
  EXPECT_TRUE(refused);
  EXPECT_EQ(connecting(), kMaxConnections) << "the refused connection raised no event";

  // A place that frees up is served again.
  clients.pop_back();
  EXPECT_TRUE(testkit::PumpUntil(*loop_, [&] { return count("Disconnected") == 1; }, 20s));
  bool served = false;
  ServeWhile([&] {
    for (int attempt = 0; attempt < 50 && !served; ++attempt) served = TelnetClient(port_).ReadUntil("login: ");
  });
  EXPECT_TRUE(served);

  // Every logged-in connection hangs up and is seen off, so that none of their events is left
  // queued on this thread's loop for the next test.
  clients.clear();
  EXPECT_TRUE(testkit::PumpUntil(*loop_, [&] { return count("Disconnected") == connecting(); }, 30s));
}

// Entries of /proc/self/fd: the descriptors this process has open.
size_t OpenDescriptors() {
  size_t count = 0;
  std::error_code error;
  for (std::filesystem::directory_iterator entry("/proc/self/fd", error), end; !error && entry != end;
       entry.increment(error)) {
    ++count;
  }
  return count;
}

// Each connection thread holds descriptors of its own (its end event among them). Once a burst
// of connections is over they are all closed again, without another connection arriving.
TEST_F(TermServerComponent, FinishedConnectionsLeaveNoDescriptorOpen) {
  StartTelnet();
  const size_t before = OpenDescriptors();
  constexpr int kBurst = 12;
  for (int round = 0; round < 2; ++round) {
    int prompted = 0;
    ServeWhile([&] {
      std::vector<std::unique_ptr<TelnetClient>> clients;
      for (int i = 0; i < kBurst; ++i) {
        // From as many addresses as the cap on connections not logged in yet per address asks.
        const std::string source = "127.0.0." + std::to_string(1 + i / static_cast<int>(kMaxUnauthenticatedPerAddress));
        clients.push_back(std::make_unique<TelnetClient>("127.0.0.1", port_, source));
      }
      for (auto& client : clients) prompted += client->ReadUntil("login: ") ? 1 : 0;
    });  // the clients hang up here, all at once
    EXPECT_EQ(prompted, kBurst) << "round " << round;
    EXPECT_TRUE(testkit::PumpUntil(*loop_, [&] { return OpenDescriptors() == before; }, 20s))
        << "round " << round << ": " << OpenDescriptors() << " descriptors open, " << before << " before";
  }
  EXPECT_TRUE(ClientIsPrompted()) << "the server goes on serving";
}

// Clears the thread creation failures still pending however the test ends.
struct ThreadCreationsFailing {
  explicit ThreadCreationsFailing(int count) { loop::testing::FailNextThreadCreations(count); }
  ~ThreadCreationsFailing() { loop::testing::FailNextThreadCreations(0); }
};

// A connection whose thread cannot start is closed and leaves nothing behind: no descriptor,
// no place among the active connections, no thread counted in the module (which can unload).
// The accept loop goes on, and a connection after it is served.
TEST_F(TermServerComponent, ConnectionWhoseThreadCannotStartIsClosedAndLeavesNothing) {
  StartTelnet();
  const size_t before = OpenDescriptors();
  {
    ThreadCreationsFailing failing(1);
    TelnetClient refused(port_);
    ASSERT_TRUE(refused.Connected());
    EXPECT_TRUE(refused.Closed());
  }
  EXPECT_TRUE(testkit::PumpUntil(*loop_, [&] { return OpenDescriptors() == before; }, 20s))
      << OpenDescriptors() << " descriptors open, " << before << " before";
  for (const std::string& event : sink_->Events()) {
    EXPECT_NE(event, "Connecting") << "the refused client was not served";
  }

  EXPECT_TRUE(ClientIsPrompted()) << "the same server serves the next client";

  const std::string serverKey = "CLSID\\" + FormatGuidBraced(kTermServerClsid) + "\\InprocServer32";
  std::optional<std::string> module = ClassRegistry(ClassRegistryPath()).GetValue(serverKey, "");
  ASSERT_TRUE(module);
  ASSERT_TRUE(com::testing::IsLoaded(*module));
  ASSERT_EQ(Call(server_.get(), kServerStop, {}), S_OK);
  ASSERT_EQ(point_->Unadvise(cookie_), S_OK);
  point_.reset();
  server_.reset();
  sink_.reset();
  EXPECT_TRUE(testkit::PumpUntil(
      *loop_,
      [&] {
        CoFreeUnusedLibraries();
        return !com::testing::IsLoaded(*module);
      },
      20s))
      << "the module stays loaded";

  // Created again by class id, with thread creation working, it serves.
  ASSERT_EQ(CoCreateInstance(kTermServerClsid, nullptr, CLSCTX_INPROC_SERVER, IDispatch::kIid, server_.put_void()),
            S_OK);
  StartTelnet();
  EXPECT_TRUE(ClientIsPrompted());
}

// A start whose accept thread cannot start fails and takes its listener back; the module keeps
// nothing counted, and the next start listens and serves.
TEST_F(TermServerComponent, StartWhoseAcceptThreadCannotStartFailsAndLeavesNothing) {
  const size_t before = OpenDescriptors();
  ASSERT_EQ(Put(server_.get(), kServerProtocol, Variant(int32_t{kProtocolTelnet})), S_OK);
  ASSERT_EQ(Put(server_.get(), kServerBindAddress, Variant(u"127.0.0.1")), S_OK);
  ASSERT_EQ(Put(server_.get(), kServerPort, Variant(int32_t{0})), S_OK);
  {
    ThreadCreationsFailing failing(1);
    EXPECT_TRUE(Failed(Call(server_.get(), kServerStart, {Variant()})));
  }
  EXPECT_EQ(OpenDescriptors(), before) << "the listener is closed again";
  StartTelnet();
  EXPECT_TRUE(ClientIsPrompted());
}

}  // namespace
}  // namespace vorlane::termserver
