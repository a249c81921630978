// The terminal server driven as the agent drives it: created by class id through the class
// registry, configured and started late-bound, its events handled on this test's apartment
// while a Telnet client on loopback logs in and sends requests.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/com/com_object.h"
#include "platform/com/dispatch_table.h"
#include "platform/com/variant.h"
#include "platform/termserver/ids.h"
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

  ComPtr<RecordingSink> sink_ = Make<RecordingSink>();
};

TEST_F(TermServerComponent, TelnetLoginAndRequestsRaiseTheirEventsInOrder) {
  StartTelnet();
  bool loggedIn = false, answered = false, hashAnswered = false;
  ServeWhile([&] {
    TelnetClient telnet(port_);
    if (telnet.AnswerLoginPrompts("monitor", "pw")) {
      loggedIn = telnet.ReadUntil("#keycount=3#responseaction=login#");
      telnet.SendLine("#keycount=1#requestaction=agentinfo#");
      answered = telnet.ReadUntil("#answer=36#");
      // No line end: complete after the quiet time behind the closing '#'.
      telnet.Send("#requestaction=x#");
      hashAnswered = telnet.ReadUntil("#answer=17#");
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
                                      "Received:#keycount=1#requestaction=agentinfo#", "Received:#requestaction=x#",
                                      "Disconnected"}));
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

TEST_F(TermServerComponent, FiftyConnectionsAreServedTogether) {
  StartTelnet();
  constexpr int kClients = 50;
  std::atomic<int> finished{0};
  std::atomic<int> answered{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      TelnetClient telnet(port_);
      const std::string request = "#client=" + std::to_string(i) + "#";
      if (telnet.AnswerLoginPrompts("monitor", "pw") && telnet.ReadUntil("responseaction=login#")) {
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

TEST_F(TermServerComponent, ConnectionsBeyondTheCapAreClosedAtOnce) {
  StartTelnet();
  std::vector<std::unique_ptr<TelnetClient>> clients;
  for (size_t i = 0; i < kMaxConnections; ++i) clients.push_back(std::make_unique<TelnetClient>(port_));
  // Wait until every one of them is being served (each raised Connecting).
  auto connecting = [&] {
    size_t count = 0;
    for (const std::string& event : sink_->Events()) count += event == "Connecting";
    return count;
  };
  testkit::PumpUntil(*loop_, [&] { return connecting() >= kMaxConnections; }, 30s);
  ASSERT_EQ(connecting(), kMaxConnections);

  TelnetClient extra(port_);
  bool refused = false;
  ServeWhile([&] { refused = !extra.ReadUntil("login: "); });  // closed without a prompt
  EXPECT_TRUE(refused);
  EXPECT_EQ(connecting(), kMaxConnections) << "the refused connection raised no event";

  // A place that frees up is served again.
  clients.pop_back();
  bool served = false;
  ServeWhile([&] {
    for (int attempt = 0; attempt < 50 && !served; ++attempt) served = TelnetClient(port_).ReadUntil("login: ");
  });
  EXPECT_TRUE(served);
}

}  // namespace
}  // namespace vorlane::termserver
