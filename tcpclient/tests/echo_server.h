// A TCP echo server on 127.0.0.1 for load: one thread multiplexes every connection with epoll,
// sending back whatever each one sends, in order. A connection whose client does not read stops
// being read once a bounded amount waits for it, so a slow client never grows the server's memory.
// The server's side of a connection is closed once the client has closed and everything was
// echoed (or at once on a reset).
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "platform/base/unique_fd.h"

namespace vorlane::tcpclient::testing {

class EchoServer {
 public:
  EchoServer();
  ~EchoServer();  // stops the thread and closes every connection
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;

  bool ok() const { return thread_.joinable(); }
  uint16_t port() const { return port_; }
  int Accepted() const { return accepted_.load(); }
  // Connections accepted and not yet closed by the server.
  int Open() const { return open_.load(); }
  uint64_t BytesEchoed() const { return echoed_.load(); }

 private:
  void Run();

  UniqueFd listener_, epoll_, stop_;
  uint16_t port_ = 0;
  std::atomic<int> accepted_{0};
  std::atomic<int> open_{0};
  std::atomic<uint64_t> echoed_{0};
  std::thread thread_;
};

}  // namespace vorlane::tcpclient::testing
