// Peers for tests of TCP clients: a TCP server on loopback that serves each accepted connection
// with a behaviour of the test's choice on a thread of its own. Every wait of a behaviour is
// bounded and ends early when the server stops.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/base/unique_fd.h"

namespace vorlane::testkit {

using namespace std::chrono_literals;

class PeerServer;

// What a behaviour sees of its connection.
class PeerConnection {
 public:
  PeerConnection(PeerServer& server, int fd) : server_(server), fd_(fd) {}
  int fd() const { return fd_; }
  // Sends all of `bytes`; false when the connection or the server ended first.
  bool Send(std::string_view bytes);
  // Waits up to `limit` for data and reads what is there; "" at the end of the stream, on a
  // stop or when the limit passed (check Closed()).
  std::string Receive(std::chrono::milliseconds limit = 10s);
  bool Closed() const { return closed_; }
  // The errno of a receive that failed (ECONNRESET for a reset), 0 after an orderly end.
  int ReceiveError() const { return receiveError_; }
  // Waits up to `limit` for the server's go-ahead (PeerServer::Release); false when it did not come.
  bool WaitForRelease(std::chrono::milliseconds limit = 10s);
  // Waits up to `limit` for the client to close; true when it did.
  bool WaitForClientClose(std::chrono::milliseconds limit = 10s);
  // Resets the connection (close with linger 0).
  void Reset();

 private:
  PeerServer& server_;
  int fd_;
  bool closed_ = false;
  int receiveError_ = 0;
};

class PeerServer {
 public:
  using Behaviour = std::function<void(PeerConnection&)>;

  // Listens on 127.0.0.1 (AF_INET) or ::1 (AF_INET6) on a free port.
  explicit PeerServer(Behaviour behaviour, int family = AF_INET);
  ~PeerServer();
  PeerServer(const PeerServer&) = delete;
  PeerServer& operator=(const PeerServer&) = delete;

  uint16_t port() const { return port_; }
  bool ok() const { return listener_.valid(); }
  // Everything the behaviours received through PeerConnection::Receive, in order.
  std::string Received();
  size_t ReceivedSize();
  int Accepted() const { return accepted_.load(); }
  // Lets a behaviour waiting in WaitForRelease go on.
  void Release();

 private:
  friend class PeerConnection;
  void Run();
  // Waits until `fd` is ready for `events`, the server stops, or `limit` passes.
  enum class Ready { kReady, kStopped, kTimeout };
  Ready WaitFor(int fd, short events, std::chrono::milliseconds limit);

  Behaviour behaviour_;
  UniqueFd listener_;
  UniqueFd stopRead_, stopWrite_;
  uint16_t port_ = 0;
  std::mutex lock_;
  std::string received_;  // guarded by lock_
  std::atomic<int> accepted_{0};
  std::atomic<bool> released_{false};
  std::thread thread_;
};

// A loopback port that nothing listens on (bound once and released).
uint16_t ClosedPort();

// Entries of /proc/self/fd: the descriptors the process holds; -1 when they cannot be listed.
int OpenDescriptors();

}  // namespace vorlane::testkit
