#include "testing/peer_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vorlane::testkit {

PeerServer::PeerServer(Behaviour behaviour, int family) : behaviour_(std::move(behaviour)) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
  stopRead_.reset(pipeFds[0]);
  stopWrite_.reset(pipeFds[1]);
  UniqueFd listener(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener) return;
  const int one = 1;
  (void)::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_storage address{};
  socklen_t length = 0;
  if (family == AF_INET6) {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
    in6.sin6_family = AF_INET6;
    in6.sin6_addr = in6addr_loopback;
    length = sizeof(in6);
  } else {
    auto& in = reinterpret_cast<sockaddr_in&>(address);
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof(in);
  }
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) return;
  if (::listen(listener.get(), 8) != 0) return;
  if (::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return;
  port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                                   : reinterpret_cast<sockaddr_in&>(address).sin_port);
  listener_ = std::move(listener);
  thread_ = std::thread([this] { Run(); });
}

PeerServer::~PeerServer() {
  if (stopWrite_) (void)::write(stopWrite_.get(), "x", 1);
  if (thread_.joinable()) thread_.join();
}

PeerServer::Ready PeerServer::WaitFor(int fd, short events, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (int round = 0; round < 100'000; ++round) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= 0ms) return Ready::kTimeout;
    pollfd fds[2] = {{fd, events, 0}, {stopRead_.get(), POLLIN, 0}};
    const int n = ::poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 100)));
    if (n < 0 && errno != EINTR) return Ready::kStopped;
    if (fds[1].revents != 0) return Ready::kStopped;
    if (fds[0].revents != 0) return Ready::kReady;
  }
  return Ready::kTimeout;
}

void PeerServer::Run() {
  for (int round = 0; round < 10'000; ++round) {
    if (WaitFor(listener_.get(), POLLIN, 60s) != Ready::kReady) return;
    UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) continue;
    ++accepted_;
    PeerConnection connection(*this, client.get());
    behaviour_(connection);
  }
}

std::string PeerServer::Received() {
  std::lock_guard guard(lock_);
  return received_;
}

size_t PeerServer::ReceivedSize() {
  std::lock_guard guard(lock_);
  return received_.size();
}

void PeerServer::Release() { released_ = true; }

bool PeerConnection::Send(std::string_view bytes) {
  for (int round = 0; round < 100'000 && !bytes.empty(); ++round) {
    if (server_.WaitFor(fd_, POLLOUT, 10s) != PeerServer::Ready::kReady) return false;
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return bytes.empty();
}

std::string PeerConnection::Receive(std::chrono::milliseconds limit) {
  const PeerServer::Ready ready = server_.WaitFor(fd_, POLLIN, limit);
  if (ready == PeerServer::Ready::kStopped) closed_ = true;  // the server is going: so is the connection
  if (ready != PeerServer::Ready::kReady) return "";
  char buffer[65536];
  const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
  if (n <= 0) {
    if (n < 0) receiveError_ = errno;
    closed_ = true;
    return "";
  }
  std::string data(buffer, static_cast<size_t>(n));
  std::lock_guard guard(server_.lock_);
  server_.received_ += data;
  return data;
}

bool PeerConnection::WaitForRelease(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (int round = 0; round < 100'000; ++round) {
    if (server_.released_.exchange(false)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    pollfd stop{server_.stopRead_.get(), POLLIN, 0};
    if (::poll(&stop, 1, 5) > 0) return false;
  }
  return false;
}

bool PeerConnection::WaitForClientClose(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (int round = 0; round < 100'000 && !closed_; ++round) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= 0ms) break;
    (void)Receive(left);
  }
  return closed_;
}

void PeerConnection::Reset() {
  linger option{1, 0};
  // The close that follows when the behaviour returns then resets the connection.
  (void)::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof(option));
  closed_ = true;
}

uint16_t ClosedPort() {
  UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (!probe || ::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 0;
  }
  return ntohs(address.sin_port);  // nothing listens: the socket is bound, never listening
}

int OpenDescriptors() {
  DIR* folder = ::opendir("/proc/self/fd");
  if (folder == nullptr) return -1;
  int count = 0;
  for (int i = 0; i < 1'000'000 && ::readdir(folder) != nullptr; ++i) ++count;
  ::closedir(folder);
  return count - 3;  // ".", ".." and the folder's own descriptor
}

}  // namespace vorlane::testkit
