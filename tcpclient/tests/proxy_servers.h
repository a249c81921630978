// Servers that the firewall tests pass through, on loopback: an echo target, and the real proxy
// daemons (danted for SOCKS4 and SOCKS5, tinyproxy for HTTP CONNECT) started with configurations
// the tests write; beside them nginx as the web server that the URL check fetches from. Every
// wait is bounded.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/base/unique_fd.h"
#include "testing/temp_dir.h"

namespace vorlane::tcpclient::testing {

// A listening socket on 127.0.0.1 at a free port, which goes to *port; invalid on failure.
UniqueFd ListenLoopback(uint16_t* port);
// A blocking connection to 127.0.0.1:port whose reads and writes give up after 5 seconds.
UniqueFd ConnectLoopback(uint16_t port);
// Sends all of `bytes`; false when the connection failed.
bool SendAll(int fd, std::string_view bytes);

// Echoes every connection until its peer closes; serves on its own thread until destroyed.
class EchoServer {
 public:
  EchoServer();
  ~EchoServer();
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;
  uint16_t Port() const { return port_; }

 private:
  void Serve();

  uint16_t port_ = 0;
  UniqueFd listener_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A proxy daemon in the foreground, in a process group of its own, ended with its group when
// the object goes. With `accounts`, it runs in a mount namespace of its own where the given
// passwd and shadow files stand in for the system's, so that a test can have accounts without
// touching the machine's.
class ProxyProcess {
 public:
  struct Accounts {
    std::filesystem::path passwd;
    std::filesystem::path shadow;
  };
  ProxyProcess(std::vector<std::string> argv, const std::filesystem::path& log, std::optional<Accounts> accounts);
  ~ProxyProcess();
  ProxyProcess(const ProxyProcess&) = delete;
  ProxyProcess& operator=(const ProxyProcess&) = delete;

  // Waits until the daemon accepts connections on `port`; false when it ended or took too long.
  bool WaitReady(uint16_t port);
  std::string Log() const;

 private:
  bool Reaped();

  std::filesystem::path log_;
  pid_t pid_ = -1;
  bool reaped_ = false;
};

inline constexpr char kDanted[] = "/usr/sbin/danted";
inline constexpr char kTinyproxy[] = "/usr/bin/tinyproxy";
inline constexpr char kNginx[] = "/usr/sbin/nginx";
// The account both proxies accept when they ask for credentials.
inline constexpr char kProxyUser[] = "vorlaneproxy";
inline constexpr char kProxyPassword[] = "s3cret";

// danted on 127.0.0.1:port, serving SOCKS4 and SOCKS5 connects to anywhere: a client that offers
// user/password is asked for it (the account above), one that offers only "none" gets in without.
std::unique_ptr<ProxyProcess> StartDanted(const testkit::TempDir& dir, uint16_t port);

// tinyproxy on 127.0.0.1:port, tunnelling to the given ports only; with `basicAuth` it asks for
// the account above.
std::unique_ptr<ProxyProcess> StartTinyproxy(const testkit::TempDir& dir, uint16_t port, bool basicAuth,
                                             const std::vector<uint16_t>& connectPorts);

// nginx serving the files of `root` on 127.0.0.1: plain HTTP on `httpPort`, HTTPS on `httpsPort`
// (none when 0) with `certificate` and `key`. Its pid file, logs (the access log "nginx-access.log" with each
// request's User-Agent last) and temporary folders lie in `dir`.
std::unique_ptr<ProxyProcess> StartNginx(const testkit::TempDir& dir, const std::filesystem::path& root,
                                         uint16_t httpPort, uint16_t httpsPort,
                                         const std::filesystem::path& certificate, const std::filesystem::path& key);

}  // namespace vorlane::tcpclient::testing
