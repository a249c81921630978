#include "platform/termserver/telnet_session.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/termserver/telnet_parser.h"
#include "platform/termserver/tests/fake_connection.h"
#include "testing/debug_capture.h"
#include "testing/telnet_client.h"

namespace vorlane::termserver {
namespace {

constexpr auto& Cmd = testkit::TelnetCommand;  // IAC verb option
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;


// A client on the other end of a socket pair, with the session served on its own thread.
class TelnetSessionTest : public ::testing::Test {
 protected:
  void Start() {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    client_.reset(fds[1]);
    server_ = std::thread([this, fd = fds[0]] { ServeTelnet(UniqueFd(fd), fake_); });
  }
  void TearDown() override { Finish(); }
  // Ends the client side and waits for the session to end.
  void Finish() {
    client_.reset();
    fake_.Close();
    if (server_.joinable()) server_.join();
  }

  // Reads until `needle` arrives after what earlier reads matched; false on timeout or close.
  bool ReadUntil(std::string_view needle, std::chrono::milliseconds limit = 5s) {
    const auto end = Clock::now() + limit;
    for (int i = 0; i < 100'000 && Clock::now() < end; ++i) {
      if (size_t at = received_.find(needle, matched_); at != std::string::npos) {
        matched_ = at + needle.size();
        return true;
      }
      if (ReadSome(end) <= 0) return false;
    }
    return false;
  }
  // True when the server closes the connection within `limit`.
  bool ReadUntilClosed(std::chrono::milliseconds limit = 5s) {
    const auto end = Clock::now() + limit;
    for (int i = 0; i < 100'000 && Clock::now() < end; ++i) {
      ssize_t n = ReadSome(end);
      if (n == 0) return true;
      if (n < 0) return errno != ETIMEDOUT;
    }
    return false;
  }
  ssize_t ReadSome(Clock::time_point end) {
    pollfd fd{client_.get(), POLLIN, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (::poll(&fd, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    char buffer[65536];
    ssize_t n = ::read(client_.get(), buffer, sizeof buffer);
    if (n > 0) received_.append(buffer, static_cast<size_t>(n));
    return n;
  }
  void Write(std::string_view text) {
    while (!text.empty()) {
      ssize_t n = ::send(client_.get(), text.data(), text.size(), MSG_NOSIGNAL);
      ASSERT_GT(n, 0);
      text.remove_prefix(static_cast<size_t>(n));
    }
  }
  void LogIn(std::string_view password = "secret") {
    ASSERT_TRUE(ReadUntil("login: "));
    Write("monitor\r\n");
    ASSERT_TRUE(ReadUntil("Password: "));
    // As a real client, agree that the server echoes (and then the server doesn't).
    Write(Cmd(telnet::kDo, telnet::kOptionEcho) + std::string(password) + "\r\n");
  }
  // The service start answers "ready" so that the test knows the login is through.
  void AnnounceReady() {
    fake_.onServiceStart = [this](int32_t, int32_t) { fake_.Send(0, "ready\r\n"); };
  }
  void StartLoggedIn() {
    AnnounceReady();
    Start();
    LogIn();
    ASSERT_TRUE(ReadUntil("ready\r\n"));
  }
  void EchoRequests() {
    fake_.onReceived = [this](int32_t, const std::string& r) { fake_.Send(0, "ok:" + r + "\r\n"); };
  }

  testing::FakeConnection fake_;
  UniqueFd client_;
  std::thread server_;
  std::string received_;
  size_t matched_ = 0;
};

// --- Login

TEST_F(TelnetSessionTest, LoginStartsTheShellWithoutEchoingThePassword) {
  StartLoggedIn();
  Finish();
  EXPECT_EQ(fake_.Events(), (Strings{"LoginPassword:monitor:secret", "ServiceRequest:0:1",
                                     "ServiceStart:0:0:shell"}));
  EXPECT_EQ(received_.find("secret"), std::string::npos);
  const size_t willEcho = received_.find(Cmd(telnet::kWill, telnet::kOptionEcho));
  const size_t prompt = received_.find("Password: ");
  const size_t wontEcho = received_.find(Cmd(telnet::kWont, telnet::kOptionEcho));
  // Not offered: it would put a terminal client in character mode, which shows a typed line end
  // as "^M".
  EXPECT_EQ(received_.find(Cmd(telnet::kWill, telnet::kOptionSuppressGoAhead)), std::string::npos);
  EXPECT_LT(willEcho, prompt);
  EXPECT_LT(prompt, wontEcho);
  EXPECT_NE(wontEcho, std::string::npos);
}

TEST_F(TelnetSessionTest, ThreeWrongPasswordsCloseTheConnection) {
  Start();
  for (int i = 0; i < 3; ++i) {
    LogIn("wrong");
    ASSERT_TRUE(ReadUntil("\r\nLogin incorrect\r\n"));
  }
  EXPECT_TRUE(ReadUntilClosed());
  Finish();
  EXPECT_EQ(fake_.Events(), Strings(3, "LoginPassword:monitor:wrong"));
}

TEST_F(TelnetSessionTest, OverlongPasswordIsRefusedWithoutAskingTheApplication) {
  AnnounceReady();
  Start();
  LogIn(std::string(1100, 'x'));
  ASSERT_TRUE(ReadUntil("Login incorrect"));
  LogIn();  // a failed try, not the end
  ASSERT_TRUE(ReadUntil("ready"));
  Finish();
  ASSERT_FALSE(fake_.Events().empty());
  EXPECT_EQ(fake_.Events()[0], "LoginPassword:monitor:secret");
}

TEST_F(TelnetSessionTest, RefusedServiceClosesTheConnection) {
  fake_.serviceAnswer = 7;
  Start();
  LogIn();
  EXPECT_TRUE(ReadUntilClosed());
  Finish();
  EXPECT_EQ(fake_.Events(), (Strings{"LoginPassword:monitor:secret", "ServiceRequest:0:1"}));
}

// --- Requests and output

TEST_F(TelnetSessionTest, RequestsWithAndWithoutLineEndEachArriveOnce) {
  EchoRequests();
  StartLoggedIn();
  // Without a line end first: once a line end has ended a request, only line ends do.
  const auto sent = Clock::now();
  Write("#b=" + Cmd(telnet::kDo, 77) + "2#");  // negotiation inside a request is no data
  EXPECT_TRUE(ReadUntil("ok:#b=2#\r\n"));
  EXPECT_GE(Clock::now() - sent, 100ms) << "a request ending in # waits for quiet";
  Write("#a=1#\r\n");
  EXPECT_TRUE(ReadUntil("ok:#a=1#\r\n"));
  Write("plain\n");
  EXPECT_TRUE(ReadUntil("ok:plain\r\n"));
  Finish();
  const Strings events = fake_.Events();
  ASSERT_EQ(events.size(), 6u);
  EXPECT_EQ(Strings(events.begin() + 3, events.end()),
            (Strings{"Received:0:#b=2#", "Received:0:#a=1#", "Received:0:plain"}));
}

TEST_F(TelnetSessionTest, IacInOutputIsDoubled) {
  fake_.onReceived = [this](int32_t, const std::string&) { fake_.Send(0, "x\xffy"); };
  StartLoggedIn();
  Write("go\r\n");
  EXPECT_TRUE(ReadUntil("x\xff\xffy"));
}

TEST_F(TelnetSessionTest, OutputQueuedFromAnotherThreadIsDelivered) {
  StartLoggedIn();
  std::thread([this] { fake_.Send(0, "async\r\n"); }).join();
  EXPECT_TRUE(ReadUntil("async\r\n"));
}

TEST_F(TelnetSessionTest, OverlongRequestIsCutAndLoggedOnce) {
  testkit::DebugCapture log;
  fake_.onReceived = [this](int32_t, const std::string& r) { fake_.Send(0, "len:" + std::to_string(r.size()) + "\r\n"); };
  StartLoggedIn();
  Write(std::string(70'000, 'x') + "\r\nnext\r\n");
  EXPECT_TRUE(ReadUntil("len:65536\r\nlen:4\r\n"));
  Finish();
  EXPECT_EQ(log.Text(), "Telnet: request longer than 65536 bytes cut\n");
}

// --- Ending

TEST_F(TelnetSessionTest, IdleConnectionIsClosed) {
  fake_.idleTimeout = 1s;
  StartLoggedIn();
  const auto start = Clock::now();
  EXPECT_TRUE(ReadUntilClosed(5s));
  EXPECT_GE(Clock::now() - start, 800ms);
}

TEST_F(TelnetSessionTest, ShouldCloseEndsTheSessionPromptly) {
  StartLoggedIn();
  fake_.Close();
  EXPECT_TRUE(ReadUntilClosed(1s));
}

TEST_F(TelnetSessionTest, ClientLeavingDuringLoginEndsTheSession) {
  Start();
  ASSERT_TRUE(ReadUntil("login: "));
  Write("moni");
  client_.reset();
  server_.join();  // returns once the session noticed
  EXPECT_TRUE(fake_.Events().empty());
}

}  // namespace
}  // namespace vorlane::termserver
