#include "platform/termserver/telnet_session.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/debuglog/debuglog.h"
#include "platform/termserver/limits.h"
#include "platform/termserver/request_framer.h"
#include "platform/termserver/telnet_parser.h"
#include "platform/termserver/wait.h"

namespace vorlane::termserver {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A client that stops reading gets this long per write before it is dropped, so that it can
// never hold the connection thread.
constexpr std::chrono::seconds kWriteTimeLimit{10};
// Beyond this, an idle limit means "never"; it also keeps the time arithmetic from overflowing.
constexpr std::chrono::hours kLongestIdle{24 * 365};
constexpr size_t kReadChunk = 4096;
constexpr int32_t kChannel = 0;  // Telnet has one channel

class TelnetSession final : public ConnectionOutput, public DirectOutput {
 public:
  TelnetSession(UniqueFd socket, Connection& connection)
      : socket_(std::move(socket)), connection_(connection), start_(Clock::now()),
        lastReceived_(start_) {}

  ~TelnetSession() {
    // However the session ends: no thread may write through it any more.
    connection_.SetDirectOutput(nullptr);
    ::shutdown(socket_.get(), SHUT_RDWR);  // the peer sees the end even if the fd was shared
  }

  void Run() {
    connection_.SetOutput(this);
    const bool started = Login();
    inLogin_ = false;
    if (started && !failed_ && !connection_.ShouldClose()) {
      connection_.SetDirectOutput(this);
      ServeRequests();
      connection_.SetDirectOutput(nullptr);
    }
    connection_.Ending();
    connection_.SetOutput(nullptr);
  }

  void Write(int32_t channel, std::string_view text) override {
    if (channel == kChannel) Send(EscapeOutgoing(text));
  }

  // On the application's thread, with the connection's state locked: an answer goes out from
  // there when the socket takes it at once and nothing is on its way before it; what the socket
  // does not take is left to this connection's thread, in order.
  bool TryWrite(int32_t channel, std::string_view text) override {
    if (channel != kChannel || failed_) return true;  // as Write: nowhere to go
    std::unique_lock hold(writeLock_, std::try_to_lock);
    if (!hold) return false;  // this connection's thread is writing: queued behind it
    std::string bytes = EscapeOutgoing(text);
    std::string_view rest = bytes;
    while (unsent_.empty() && !rest.empty()) {
      const ssize_t n = ::send(socket_.get(), rest.data(), rest.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        rest.remove_prefix(static_cast<size_t>(n));
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        failed_ = true;
        WakeSelf();
        return true;
      } else {
        break;
      }
    }
    if (rest.empty()) return true;
    unsent_.append(rest);
    WakeSelf();
    return true;
  }

 private:
  enum class Wait { kData, kDeadline, kClose, kPeerDone };

  // Waits until data bytes arrive (appended to input_), `deadline` passes, the client has sent
  // all it will send (kPeerDone), or the connection must end. Negotiation is answered and queued
  // output written on the way. While the application holds the input, the socket is not read.
  Wait Pump(Clock::time_point deadline) {
    for (;;) {
      if (failed_ || connection_.ShouldClose()) return Wait::kClose;
      const auto now = Clock::now();
      // A client waiting for its answers is not idle.
      if (connection_.AnswersPending()) lastReceived_ = now;
      const auto idle = std::min<std::chrono::seconds>(connection_.IdleTimeout(), kLongestIdle);
      const auto idleEnd = idle.count() > 0 ? lastReceived_ + idle : Clock::time_point::max();
      if (now >= idleEnd) return Wait::kClose;
      if (now >= deadline) return Wait::kDeadline;

      if (inLogin_) AcknowledgeAtOnce();
      const int socket = connection_.InputHeld() ? -1 : socket_.get();
      pollfd fds[2] = {{socket, POLLIN, 0}, {connection_.WakeFd(), POLLIN, 0}};
      const int n = WaitReady(fds, std::min(deadline, idleEnd));
      if (n < 0) return Wait::kClose;
      if (n == 0) continue;
      if (fds[1].revents & (POLLERR | POLLNVAL)) return Wait::kClose;
      if (fds[1].revents & POLLIN) Drain();
      if (fds[0].revents & POLLNVAL) return Wait::kClose;
      if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;

      char buffer[kReadChunk];
      ssize_t got = ::recv(socket_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
      if (got == 0) return Wait::kPeerDone;
      if (got < 0) return Wait::kClose;  // the socket broke
      lastReceived_ = Clock::now();
      TelnetOutput out = parser_.Feed(std::string_view(buffer, static_cast<size_t>(got)));
      if (!out.reply.empty()) Send(out.reply);
      if (!out.data.empty()) {
        input_ += out.data;
        return Wait::kData;
      }
    }
  }

  // Writes queued output until `condition` is false (true), `deadline` passes or the connection
  // must end (false).
  bool WaitWhile(bool (Connection::*condition)() const, Clock::time_point deadline) {
    for (;;) {
      if (failed_ || connection_.ShouldClose()) return false;
      if (!(connection_.*condition)()) return true;
      const auto now = Clock::now();
      if (now >= deadline) return false;
      // The socket only for its end: a client that is gone for good (reset, or both ways shut)
      // waits for nothing any more, and its requests still waiting are dropped.
      pollfd fds[2] = {{connection_.WakeFd(), POLLIN, 0}, {socket_.get(), 0, 0}};
      const int n = WaitReady(fds, deadline);
      if (n < 0) return false;
      if (fds[0].revents & (POLLERR | POLLNVAL)) return false;
      if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
      if (fds[0].revents & POLLIN) Drain();
    }
  }

  // Hands a request to the application once it has room for it; false when the connection
  // must end.
  bool Deliver(std::string request) {
    if (!WaitWhile(&Connection::InputHeld, Clock::time_point::max())) return false;
    connection_.Received(kChannel, std::move(request));
    return !failed_ && !connection_.ShouldClose();
  }

  // The login dialogue is a row of small writes from the client (its option answers, its name,
  // its password); a client with Nagle's algorithm on sends each only once the previous one is
  // acknowledged. Acknowledging what was received at once (the kernel forgets the setting after
  // each receive) spares it a delayed acknowledgement per step.
  void AcknowledgeAtOnce() {
    const int one = 1;
    (void)::setsockopt(socket_.get(), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
  }

  // The application's output: what it queued, and what its direct writes left unsent.
  void Drain() {
    connection_.DrainOutput();
    Send({});
  }

  void WakeSelf() {
    uint64_t one = 1;
    (void)!::write(connection_.WakeFd(), &one, sizeof one);
  }

  // Writes what direct writes left unsent, then all of `bytes`, within the write limit; on
  // failure the session ends.
  void Send(std::string_view bytes) {
    std::lock_guard hold(writeLock_);
    if (!unsent_.empty()) {
      const std::string earlier = std::exchange(unsent_, {});
      SendNow(earlier);
    }
    SendNow(bytes);
  }

  void SendNow(std::string_view bytes) {
    const auto end = Clock::now() + kWriteTimeLimit;
    while (!failed_ && !bytes.empty()) {
      ssize_t n = ::send(socket_.get(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        bytes.remove_prefix(static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        failed_ = true;
        break;
      }
      const auto now = Clock::now();
      pollfd fd{socket_.get(), POLLOUT, 0};
      if (now >= end || WaitReady(fd, end) == 0) {
        debuglog::Write("Telnet: client stopped reading, connection closed");
        failed_ = true;
      }
    }
  }

  // Takes one line of at most kMaxCredentialBytes from input_, keeping the rest for later.
  // Returns nullopt when the connection must end (time up, peer gone).
  std::optional<std::string> ReadCredential(bool& tooLong) {
    std::string line;
    tooLong = false;
    const auto deadline = start_ + kLoginTimeLimit;
    for (;;) {
      size_t used = 0;
      for (; used < input_.size(); ++used) {
        const char c = input_[used];
        if (skipLf_) {
          skipLf_ = false;
          if (c == '\n') continue;
        }
        if (c == '\r' || c == '\n') {
          skipLf_ = c == '\r';
          input_.erase(0, used + 1);
          return line;
        }
        if (c == '\x7f' || c == '\b') {
          // A client in character mode sends its erase key as a byte.
          if (!line.empty() && !tooLong) line.pop_back();
        } else if (line.size() < kMaxCredentialBytes) {
          line += c;
        } else {
          tooLong = true;  // keep reading to the line end, but hold no more of it
        }
      }
      input_.clear();
      if (Pump(deadline) != Wait::kData) return std::nullopt;
    }
  }

  // True once a login was allowed and its shell started.
  bool Login() {
    // No go-ahead suppression offered: a terminal client stays in its line mode, where it
    // echoes what is typed itself, a line end as a line end, and sends whole lines. Offered, it
    // would switch to sending each key as typed while still echoing them itself, with a line
    // end shown as "^M". A client that asks for it still gets it.
    for (int tries = 0; tries < kMaxPasswordTries;) {
      bool userTooLong = false;
      bool passwordTooLong = false;
      Send("login: ");
      auto user = ReadCredential(userTooLong);
      if (!user) return false;
      if (user->empty() && !userTooLong) continue;  // a bare Enter asks again, as login does
      // Claiming to echo, and then not echoing, keeps the password off the client's screen.
      Send(parser_.EnableLocal(telnet::kOptionEcho));
      Send("Password: ");
      auto password = ReadCredential(passwordTooLong);
      Send(parser_.DisableLocal(telnet::kOptionEcho));
      Send("\r\n");
      if (!password || failed_) return false;
      ++tries;
      if (!userTooLong && !passwordTooLong) {
        const ShellLogin login = connection_.LoginAndStartShell(kChannel, *user, *password);
        if (login != ShellLogin::kRefused) return login == ShellLogin::kStarted;
      }
      Send("\r\nLogin incorrect\r\n");
    }
    debuglog::Write("Telnet: login failed " + std::to_string(kMaxPasswordTries) +
                    " times, connection closed");
    return false;
  }

  void ServeRequests() {
    RequestFramer framer;
    // What the client typed ahead during the login is the start of its first request.
    std::string data = std::move(input_);
    input_.clear();
    for (;;) {
      if (!data.empty()) {
        for (std::string& request : framer.Feed(data, Clock::now())) {
          if (!Deliver(std::move(request))) return;
        }
        if (framer.TakeTruncated()) {
          debuglog::Write("Telnet: request longer than " + std::to_string(kMaxRequestBytes) +
                          " bytes cut");
        }
      }
      data.clear();
      const Wait wait = Pump(framer.Deadline().value_or(Clock::time_point::max()));
      if (wait == Wait::kClose) return;
      if (wait == Wait::kPeerDone) {
        // The client has sent its last request: it still gets the answers to come.
        connection_.AwaitAnswers(true);
        (void)WaitWhile(&Connection::AnswersPending, Clock::now() + kAnswerDrainTime);
        return;
      }
      if (wait == Wait::kDeadline) {
        if (auto request = framer.Poll(Clock::now())) {
          if (!Deliver(std::move(*request))) return;
        }
      }
      data = std::move(input_);
      input_.clear();
    }
  }

  UniqueFd socket_;
  Connection& connection_;
  TelnetParser parser_;
  const Clock::time_point start_;
  Clock::time_point lastReceived_;
  std::string input_;       // data bytes received and not used yet
  bool inLogin_ = true;     // the login dialogue runs: acknowledge at once
  bool skipLf_ = false;     // the last credential ended with CR; an LF right after belongs to it
  std::atomic<bool> failed_{false};  // writing failed: the connection ends
  // Held while writing to the socket, by whichever thread writes.
  std::mutex writeLock_;
  std::string unsent_;  // guarded by writeLock_: left by direct writes, written before anything else
};

}  // namespace

void ServeTelnet(UniqueFd socket, Connection& connection) {
  try {
    TelnetSession session(std::move(socket), connection);
    session.Run();
  } catch (const std::exception& e) {
    connection.SetOutput(nullptr);
    debuglog::Write(std::string("Telnet: connection ended by an error: ") + e.what());
  } catch (...) {
    connection.SetOutput(nullptr);
    debuglog::Write("Telnet: connection ended by an unknown error");
  }
}

}  // namespace vorlane::termserver
