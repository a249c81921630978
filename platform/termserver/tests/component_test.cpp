// The terminal server driven as the agent drives it: created by class id through the class
// registry, configured and started late-bound, its events handled on this test's apartment
// while a Telnet client on loopback logs in and sends requests.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/apartment.h"
#include "platform/com/bstr.h"
#include "platform/com/com_object.h"
#include "platform/com/dispatch_table.h"
#include "platform/com/registry.h"
#include "platform/com/tests/fixture_component/test_support.h"
#include "platform/com/variant.h"
#include "platform/loop/message_loop.h"
#include "platform/termserver/term_server_contract.h"
#include "platform/termserver/limits.h"
#include "platform/termserver/tests/echo_application.h"

namespace vorlane::termserver {
namespace {

using namespace vorlane::com;
using namespace vorlane::termserver::testing;
using namespace std::chrono_literals;

// A Telnet client that ignores option negotiation: it drops IAC sequences from what it reads.
class TelnetClient {
 public:
  explicit TelnetClient(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~TelnetClient() { ::close(fd_); }
  bool Connected() const { return connected_; }
  void Send(const std::string& text) { (void)!::write(fd_, text.data(), text.size()); }
  // Reads until `needle` is in the text seen so far (or 10 s pass, or the server closes).
  bool ReadUntil(const std::string& needle) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (text_.find(needle) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      pollfd pfd{fd_, POLLIN, 0};
      if (::poll(&pfd, 1, 100) <= 0) continue;
      unsigned char buffer[4096];
      ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) return false;
      for (ssize_t i = 0; i < n; ++i) {
        if (skip_ > 0) {
          --skip_;
          continue;
        }
        if (buffer[i] == 0xFF) {
          skip_ = 2;
          continue;
        }
        text_ += static_cast<char>(buffer[i]);
      }
    }
    return true;
  }
  const std::string& Text() const { return text_; }
  // Waits until the server closes the connection (end of stream or reset) before anything but
  // option negotiation arrived; false when text came first or 10 s passed.
  bool WaitClosed() {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd pfd{fd_, POLLIN, 0};
      if (::poll(&pfd, 1, 100) <= 0) continue;
      unsigned char buffer[256];
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
      if (n > 0 && buffer[0] != 0xFF) return false;
    }
    return false;
  }

 private:
  int fd_;
  bool connected_ = false;
  int skip_ = 0;
  std::string text_;
};

class TermServerComponent : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    loop_ = loop::MessageLoop::ForCurrentThread();
    ASSERT_EQ(CoCreateInstance(kTermServerClsid, nullptr, CLSCTX_INPROC_SERVER, IDispatch::kIid, server_.put_void()),
              S_OK);
    sink_ = Make<RecordingSink>();
    ComPtr<IConnectionPointContainer> container = server_.As<IConnectionPointContainer>();
    ASSERT_TRUE(container);
    ASSERT_EQ(container->FindConnectionPoint(ITermServerEvents::kIid, point_.put()), S_OK);
    ASSERT_EQ(point_->Advise(static_cast<IDispatch*>(sink_.get()), &cookie_), S_OK);
  }
  void TearDown() override {
    if (point_) (void)point_->Unadvise(cookie_);
    point_.reset();
    server_.reset();
    sink_.reset();
    CoUninitialize();
  }

  void StartTelnet() {
    ASSERT_EQ(Put(server_.get(), kServerAuthMode, Variant(int32_t{0})), S_OK);
    ASSERT_EQ(Put(server_.get(), kServerProtocol, Variant(int32_t{kProtocolTelnet})), S_OK);
    ASSERT_EQ(Put(server_.get(), kServerBindAddress, Variant(u"127.0.0.1")), S_OK);
    ASSERT_EQ(Put(server_.get(), kServerPort, Variant(int32_t{0})), S_OK);
    ASSERT_EQ(Put(server_.get(), kServerIdleTimeout, Variant(int32_t{6000})), S_OK);
    ASSERT_EQ(Call(server_.get(), kServerStart, {Variant()}), S_OK);
    port_ = GetInt(server_.get(), kServerPort);
    ASSERT_GT(port_, 0);
  }

  // Pumps this apartment until `done` or 20 s pass.
  void PumpUntil(const std::atomic<bool>& done) {
    PumpUntilTrue([&] { return done.load(); });
  }
  // Pumps this apartment until done() holds or 20 s pass; whether it held.
  template <class Done>
  bool PumpUntilTrue(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!done() && std::chrono::steady_clock::now() < deadline) loop_->PumpStep(20ms);
    return done();
  }

  // A client on another thread (this one pumps the events) that waits for the login prompt.
  bool ClientIsPrompted() {
    std::atomic<bool> done{false};
    bool prompted = false;
    std::thread client([&] {
      TelnetClient telnet(port_);
      prompted = telnet.Connected() && telnet.ReadUntil("login: ");
      done = true;
    });
    PumpUntil(done);
    client.join();
    return prompted;
  }

  std::shared_ptr<loop::MessageLoop> loop_;
  ComPtr<IDispatch> server_;
  ComPtr<RecordingSink> sink_;
  ComPtr<IConnectionPoint> point_;
  uint32_t cookie_ = 0;
  int port_ = 0;
};

TEST_F(TermServerComponent, TelnetLoginAndRequestsRaiseTheirEventsInOrder) {
  StartTelnet();
  std::atomic<bool> done{false};
  bool loggedIn = false, answered = false, hashAnswered = false;
  std::thread client([&] {
    TelnetClient telnet(port_);
    if (telnet.Connected() && telnet.ReadUntil("login: ")) {
      telnet.Send("monitor\r\n");
      if (telnet.ReadUntil("Password: ")) {
        telnet.Send("pw\r\n");
        loggedIn = telnet.ReadUntil("#keycount=3#responseaction=login#");
        telnet.Send("#keycount=1#requestaction=agentinfo#\r\n");
        answered = telnet.ReadUntil("#answer=36#");
        // No line end: complete after the quiet time behind the closing '#'.
        telnet.Send("#requestaction=x#");
        hashAnswered = telnet.ReadUntil("#answer=17#");
      }
    }
    done = true;
  });
  PumpUntil(done);
  client.join();
  EXPECT_TRUE(loggedIn);
  EXPECT_TRUE(answered);
  EXPECT_TRUE(hashAnswered);
  // The disconnect arrives once the client has gone.
  std::atomic<bool> disconnected{false};
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    loop_->PumpStep(20ms);
    auto events = sink_->Events();
    if (!events.empty() && events.back() == "Disconnected") break;
  }
  EXPECT_EQ(sink_->Events(),
            (std::vector<std::string>{"Connecting", "LoginPassword:monitor", "ServiceRequest:1", "ServiceStart:0",
                                      "Received:#keycount=1#requestaction=agentinfo#", "Received:#requestaction=x#",
                                      "Disconnected"}));
}

TEST_F(TermServerComponent, WrongPasswordsAreRefusedAndTheConnectionClosedAfterThree) {
  StartTelnet();
  std::atomic<bool> done{false};
  bool closed = false;
  std::thread client([&] {
    TelnetClient telnet(port_);
    for (int i = 0; i < 3 && telnet.ReadUntil("login: "); ++i) {
      telnet.Send("monitor\r\n");
      if (!telnet.ReadUntil("Password: ")) break;
      telnet.Send("wrong\r\n");
      telnet.ReadUntil("\n");
    }
    closed = !telnet.ReadUntil("never sent");
    done = true;
  });
  PumpUntil(done);
  client.join();
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
  std::atomic<bool> prompted{false};
  std::thread waiter([&] {
    clients.back()->ReadUntil("login: ");
    prompted = true;
  });
  PumpUntil(prompted);
  waiter.join();
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
      if (telnet.Connected() && telnet.ReadUntil("login: ")) {
        telnet.Send("monitor\r\n");
        if (telnet.ReadUntil("Password: ")) {
          telnet.Send("pw\r\n");
          const std::string request = "#client=" + std::to_string(i) + "#";
          if (telnet.ReadUntil("responseaction=login#")) {
            telnet.Send(request + "\r\n");
            if (telnet.ReadUntil("#answer=" + std::to_string(request.size()) + "#")) answered++;
          }
        }
      }
      if (++finished == kClients) done = true;
    });
  }
  PumpUntil(done);
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
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  auto connecting = [&] {
    size_t count = 0;
    for (const std::string& event : sink_->Events()) count += event == "Connecting";
    return count;
  };
  while (connecting() < kMaxConnections && std::chrono::steady_clock::now() < deadline) loop_->PumpStep(20ms);
  ASSERT_EQ(connecting(), kMaxConnections);

  TelnetClient extra(port_);
  std::atomic<bool> done{false};
  bool refused = false;
  std::thread reader([&] {
    refused = !extra.ReadUntil("login: ");  // closed without a prompt
    done = true;
  });
  PumpUntil(done);
  reader.join();
  EXPECT_TRUE(refused);
  EXPECT_EQ(connecting(), kMaxConnections) << "the refused connection raised no event";

  // A place that frees up is served again.
  clients.pop_back();
  std::atomic<bool> served{false};
  std::thread retry([&] {
    for (int attempt = 0; attempt < 50 && !served; ++attempt) {
      TelnetClient again(port_);
      if (again.ReadUntil("login: ")) served = true;
    }
    done = true;
  });
  done = false;
  PumpUntil(done);
  retry.join();
  EXPECT_TRUE(served);
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
    EXPECT_TRUE(refused.WaitClosed());
  }
  EXPECT_TRUE(PumpUntilTrue([&] { return OpenDescriptors() == before; }))
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
  EXPECT_TRUE(PumpUntilTrue([&] {
    CoFreeUnusedLibraries();
    return !com::testing::IsLoaded(*module);
  })) << "the module stays loaded";

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
