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
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/apartment.h"
#include "platform/com/bstr.h"
#include "platform/com/com_object.h"
#include "platform/com/dispatch_table.h"
#include "platform/com/variant.h"
#include "platform/loop/message_loop.h"
#include "platform/termserver/ids.h"

namespace vorlane::termserver {
namespace {

using namespace vorlane::com;
using namespace std::chrono_literals;

HRESULT Put(IDispatch* target, DISPID id, Variant value) {
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{value.get(), &named, 1, 1};
  return target->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr);
}

HRESULT Call(IDispatch* target, DISPID id, std::vector<Variant> args, VARIANT* result = nullptr,
             uint16_t flags = DISPATCH_METHOD) {
  std::vector<VARIANT> reversed;
  for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(*it->get());
  DISPPARAMS params{reversed.data(), nullptr, static_cast<uint32_t>(reversed.size()), 0};
  return target->Invoke(id, IID_NULL, 0, flags, &params, result, nullptr, nullptr);
}

int32_t GetInt(IDispatch* target, DISPID id) {
  Variant result;
  EXPECT_EQ(Call(target, id, {}, result.get(), DISPATCH_PROPERTYGET), S_OK);
  int32_t value = -1;
  EXPECT_EQ(result.ToInt32(&value), S_OK);
  return value;
}

// The application side: answers the events as the agent does and records them in order.
class RecordingSink final : public ComObject<RecordingSink, IDispatch> {
 public:
  std::vector<std::string> Events() {
    std::lock_guard lock(lock_);
    return events_;
  }

  HRESULT QueryInterfaceExtra(const IID& iid, void** object) override {
    if (iid != ITermServerEvents::kIid) return E_NOINTERFACE;
    AddRef();
    *object = static_cast<IDispatch*>(this);
    return S_OK;
  }
  HRESULT GetTypeInfoCount(uint32_t* count) override { return *count = 0, S_OK; }
  HRESULT GetTypeInfo(uint32_t, LCID, void**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(const IID&, OLECHAR**, uint32_t, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID id, const IID&, LCID, uint16_t, DISPPARAMS* params, VARIANT*, EXCEPINFO*, uint32_t*) override {
    // Arguments arrive last first; argument k of n is rgvarg[n - 1 - k].
    auto arg = [&](uint32_t k) -> VARIANT& { return params->rgvarg[params->cArgs - 1 - k]; };
    IDispatch* user = arg(0).pdispVal;
    switch (id) {
      case kEventConnecting:
        Record("Connecting");
        break;
      case kEventLoginPassword: {
        std::string login = Bstr(std::u16string_view(arg(1).bstrVal, SysStringLen(arg(1).bstrVal))).ToUtf8();
        std::string password = Bstr(std::u16string_view(arg(2).bstrVal, SysStringLen(arg(2).bstrVal))).ToUtf8();
        Record("LoginPassword:" + login);
        *arg(3).plVal = (login == "monitor" && password == "pw") ? 1 : 0;
        break;
      }
      case kEventServiceRequest:
        Record("ServiceRequest:" + std::to_string(*arg(2).plVal));
        if (*arg(2).plVal != 3) *arg(2).plVal = 0;
        break;
      case kEventServiceStart:
        Record("ServiceStart:" + std::to_string(arg(2).lVal));
        (void)Call(user, kUserSend, {Variant(u"#keycount=3#responseaction=login#"), Variant(int32_t{0})});
        break;
      case kEventReceived: {
        const int32_t index = arg(1).lVal;
        const int32_t count = arg(2).lVal;
        Variant text;
        (void)Call(user, kUserReceive, {Variant(count)}, text.get());
        std::string request;
        (void)text.ToUtf8(&request);
        Record("Received:" + request);
        (void)Call(user, kUserSend, {Variant::FromUtf8("#answer=" + std::to_string(request.size()) + "#"), Variant(index)});
        break;
      }
      case kEventDisconnected:
        Record("Disconnected");
        break;
      default:
        Record("Event:" + std::to_string(id));
    }
    return S_OK;
  }

 private:
  void Record(std::string event) {
    std::lock_guard lock(lock_);
    events_.push_back(std::move(event));
  }
  std::mutex lock_;
  std::vector<std::string> events_;
};

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
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!done.load() && std::chrono::steady_clock::now() < deadline) loop_->PumpStep(20ms);
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

}  // namespace
}  // namespace vorlane::termserver
