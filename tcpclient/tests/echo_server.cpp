#include "tcpclient/tests/echo_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <map>
#include <string>

namespace vorlane::tcpclient::testing {
namespace {

// What may wait for one client before the server stops reading from it.
constexpr size_t kMaxPending = 256 * 1024;
constexpr size_t kReadSize = 64 * 1024;

struct Connection {
  UniqueFd fd;
  std::string pending;  // received, not yet sent back
  bool clientClosed = false;
  uint32_t events = 0;  // what epoll watches for now
};

}  // namespace

EchoServer::EchoServer() {
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listener) return;
  const int one = 1;
  (void)::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) return;
  // Room for every client of a burst of connects: a full accept queue would stall them.
  if (::listen(listener.get(), 512) != 0) return;
  if (::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return;
  port_ = ntohs(address.sin_port);
  epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
  stop_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!epoll_ || !stop_) return;
  epoll_event listen{EPOLLIN, {.fd = listener.get()}};
  epoll_event stop{EPOLLIN, {.fd = stop_.get()}};
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, listener.get(), &listen) != 0) return;
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, stop_.get(), &stop) != 0) return;
  listener_ = std::move(listener);
  thread_ = std::thread([this] { Run(); });
}

EchoServer::~EchoServer() {
  if (stop_) {
    const uint64_t one = 1;
    (void)::write(stop_.get(), &one, sizeof(one));
  }
  if (thread_.joinable()) thread_.join();
}

void EchoServer::Run() {
  std::map<int, Connection> connections;
  std::string buffer(kReadSize, '\0');

  auto watch = [&](Connection& connection) {
    // Read while there is room for more; write while something waits.
    uint32_t events = 0;
    if (!connection.clientClosed && connection.pending.size() < kMaxPending) events |= EPOLLIN;
    if (!connection.pending.empty()) events |= EPOLLOUT;
    if (events == connection.events) return;
    epoll_event event{events, {.fd = connection.fd.get()}};
    (void)::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, connection.fd.get(), &event);
    connection.events = events;
  };
  auto close = [&](int fd) {
    // Out of the epoll set before the descriptor is closed.
    (void)::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
    connections.erase(fd);
    --open_;
  };
  // Returns false when the connection is over (closed here).
  auto serve = [&](Connection& connection, uint32_t events) {
    const int fd = connection.fd.get();
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0 && !connection.clientClosed) {
      for (int round = 0; round < 16 && connection.pending.size() < kMaxPending; ++round) {
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got > 0) {
          connection.pending.append(buffer.data(), static_cast<size_t>(got));
          continue;
        }
        if (got == 0) {
          connection.clientClosed = true;
        } else if (errno != EAGAIN && errno != EINTR) {
          return false;  // reset: nothing more can be delivered
        }
        break;
      }
    }
    for (int round = 0; round < 16 && !connection.pending.empty(); ++round) {
      const ssize_t sent = ::send(fd, connection.pending.data(), connection.pending.size(), MSG_NOSIGNAL);
      if (sent > 0) {
        connection.pending.erase(0, static_cast<size_t>(sent));
        echoed_ += static_cast<uint64_t>(sent);
        continue;
      }
      if (sent < 0 && errno != EAGAIN && errno != EINTR) return false;
      break;
    }
    if (connection.clientClosed && connection.pending.empty()) return false;
    watch(connection);
    return true;
  };

  epoll_event ready[64];
  // Ends with the stop event; each round waits at most a second.
  for (long round = 0; round < 100'000'000; ++round) {
    const int count = ::epoll_wait(epoll_.get(), ready, 64, 1000);
    if (count < 0 && errno != EINTR) break;
    bool stopping = false;
    for (int i = 0; i < count; ++i) {
      const int fd = ready[i].data.fd;
      if (fd == stop_.get()) {
        stopping = true;
      } else if (fd == listener_.get()) {
        for (int accepts = 0; accepts < 256; ++accepts) {
          UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
          if (!client) break;
          const int clientFd = client.get();
          epoll_event event{EPOLLIN, {.fd = clientFd}};
          if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, clientFd, &event) != 0) continue;
          ++accepted_;
          ++open_;
          connections.emplace(clientFd, Connection{std::move(client), {}, false, EPOLLIN});
        }
      } else if (auto found = connections.find(fd); found != connections.end()) {
        if (!serve(found->second, ready[i].events)) close(fd);
      }
    }
    if (stopping) break;
  }
  for (auto& [fd, connection] : connections) (void)::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
  open_ -= static_cast<int>(connections.size());
}

}  // namespace vorlane::tcpclient::testing
