// The Telnet transport: a TCP connection, option negotiation and the login dialogue.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "platform/base/unique_fd.h"
#include "platform/net/resolve.h"
#include "tools/vorlane-query/telnet_filter.h"
#include "tools/vorlane-query/transport.h"

namespace vorlane::query {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

// Connects to one of the host's addresses within the deadline; empty fd and `error` on failure.
UniqueFd Connect(const Settings& settings, Clock::time_point deadline, std::string& error) {
  auto addresses = net::Resolve(settings.host);
  if (!addresses) {
    error = "cannot resolve " + settings.host + ": " + addresses.error().message;
    return {};
  }
  const std::string port = std::to_string(settings.port);
  error = "cannot connect to " + settings.host + " port " + port;
  for (net::Address& a : addresses.value()) {
    a.SetPort(static_cast<uint16_t>(settings.port));
    UniqueFd fd(::socket(a.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP));
    if (!fd) continue;
    int rc = ::connect(fd.get(), a.get(), a.length);
    if (rc != 0 && errno == EINPROGRESS) {
      pollfd p{fd.get(), POLLOUT, 0};
      int soError = ETIMEDOUT;
      socklen_t length = sizeof soError;
      if (::poll(&p, 1, MillisecondsUntil(deadline)) == 1) {
        ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &soError, &length);
      }
      rc = soError == 0 ? 0 : -1;
      errno = soError;
    }
    if (rc == 0) {
      // Small messages each waiting for an answer: no Nagle delay (see the SSH transport).
      const int yes = 1;
      (void)::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
      return fd;
    }
    error += std::string(": ") + std::strerror(errno);
  }
  return {};
}

class TelnetTransport final : public Transport {
 public:
  explicit TelnetTransport(UniqueFd socket) : socket_(std::move(socket)) {}
  TelnetTransport(const TelnetTransport&) = delete;
  TelnetTransport& operator=(const TelnetTransport&) = delete;

  // Closes gracefully: a close with unread bytes would reset the connection, and the agent
  // could lose the last request (a logout is sent without waiting for anything).
  ~TelnetTransport() override {
    ::shutdown(socket_.get(), SHUT_WR);
    const auto deadline = Clock::now() + std::chrono::milliseconds(500);
    char buffer[4096];
    for (;;) {
      pollfd p{socket_.get(), POLLIN, 0};
      if (::poll(&p, 1, MillisecondsUntil(deadline)) <= 0) break;
      const ssize_t n = ::recv(socket_.get(), buffer, sizeof buffer, 0);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) break;
    }
  }

  bool Send(std::string_view text) override {
    // 0xFF in data goes doubled.
    std::string bytes;
    for (char c : text) {
      bytes += c;
      if (static_cast<uint8_t>(c) == telnet::kIac) bytes += c;
    }
    return SendRaw(bytes);
  }

  ReadStatus Read(std::string& out, std::chrono::milliseconds wait) override {
    if (!pending_.empty()) {
      out += pending_;
      pending_.clear();
      return ReadStatus::kData;
    }
    pollfd p{socket_.get(), POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(wait.count()));
    if (ready < 0 && errno == EINTR) return ReadStatus::kTimeout;
    if (ready == 0) return ReadStatus::kTimeout;
    char buffer[4096];
    ssize_t n = ::recv(socket_.get(), buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return ReadStatus::kData;
    if (n <= 0) return ReadStatus::kClosed;
    TelnetFilter::Output output = filter_.Feed(std::string_view(buffer, static_cast<size_t>(n)));
    if (!output.reply.empty() && !SendRaw(output.reply)) return ReadStatus::kClosed;
    out += output.data;
    return ReadStatus::kData;
  }

  static constexpr size_t kMaxTextBeforePrompt = 64 * 1024;

  // Reads until `needle` (not empty) has come; what follows it stays pending.
  ReadStatus ReadUntil(std::string_view needle, Clock::time_point deadline) {
    std::string text;
    for (;;) {
      if (const size_t at = text.find(needle); at != std::string::npos) {
        pending_ = text.substr(at + needle.size());
        return ReadStatus::kData;
      }
      // Text before the prompt is never used: keep only what could still begin it.
      if (text.size() > kMaxTextBeforePrompt) text.erase(0, text.size() - (needle.size() - 1));
      if (Clock::now() >= deadline) return ReadStatus::kTimeout;
      if (Read(text, std::chrono::milliseconds(MillisecondsUntil(deadline))) == ReadStatus::kClosed) {
        return ReadStatus::kClosed;
      }
    }
  }

 private:
  bool SendRaw(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::send(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) {
        pollfd p{socket_.get(), POLLOUT, 0};
        if (::poll(&p, 1, 10000) <= 0) return false;
        continue;
      }
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

  UniqueFd socket_;
  TelnetFilter filter_;
  std::string pending_;
};

}  // namespace

OpenResult OpenTelnet(const Settings& settings) {
  std::string error;
  UniqueFd socket = Connect(settings, Clock::now() + settings.timeout, error);
  if (!socket) return {nullptr, error};
  auto transport = std::make_unique<TelnetTransport>(std::move(socket));
  auto step = [&](std::string_view prompt, const std::string& answer) -> std::string {
    switch (transport->ReadUntil(prompt, Clock::now() + settings.timeout)) {
      case ReadStatus::kTimeout:
        return "no \"" + std::string(prompt) + "\" prompt within " + settings.timeoutText + " s";
      case ReadStatus::kClosed:
        return "connection closed before the \"" + std::string(prompt) + "\" prompt";
      case ReadStatus::kData:
        break;
    }
    return transport->Send(answer + "\r\n") ? std::string() : "connection lost";
  };
  if (error = step("login: ", settings.user); !error.empty()) return {nullptr, error};
  if (error = step("Password: ", settings.password); !error.empty()) return {nullptr, error};
  return {std::move(transport), {}};
}

}  // namespace vorlane::query
