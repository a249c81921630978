#include "tcpclient/tests/proxy_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <utility>

#include "testing/poll_until.h"

namespace vorlane::tcpclient::testing {

using namespace std::chrono_literals;

UniqueFd ListenLoopback(uint16_t* port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.get(), 16) != 0 || ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return {};
  }
  *port = ntohs(address.sin_port);
  return fd;
}

UniqueFd ConnectLoopback(uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (!fd || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
  // Reads and writes in the tests end within a bound even when a peer goes quiet.
  timeval limit{5, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  return fd;
}

bool SendAll(int fd, std::string_view bytes) {
  for (size_t sent = 0, rounds = 0; sent < bytes.size(); ++rounds) {
    if (rounds > 1000) return false;
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// ---------------------------------------------------------------- echo

EchoServer::EchoServer() : listener_(ListenLoopback(&port_)), thread_([this] { Serve(); }) {}

EchoServer::~EchoServer() {
  stop_ = true;
  thread_.join();
}

void EchoServer::Serve() {
  std::vector<UniqueFd> peers;
  const auto deadline = std::chrono::steady_clock::now() + 120s;
  while (!stop_ && std::chrono::steady_clock::now() < deadline) {
    std::vector<pollfd> fds{{listener_.get(), POLLIN, 0}};
    for (const UniqueFd& peer : peers) fds.push_back({peer.get(), POLLIN, 0});
    if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
    if (fds[0].revents & POLLIN) {
      UniqueFd peer(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (peer) peers.push_back(std::move(peer));
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
      if (n <= 0 || !SendAll(fds[i].fd, std::string_view(buffer, static_cast<size_t>(n)))) {
        std::erase_if(peers, [fd = fds[i].fd](const UniqueFd& p) { return p.get() == fd; });
      }
    }
  }
}

// ---------------------------------------------------------------- proxy daemons

ProxyProcess::ProxyProcess(std::vector<std::string> argv, const std::filesystem::path& log,
                           std::optional<Accounts> accounts)
    : log_(log) {
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  const std::string logPath = log.string();
  const std::string passwd = accounts ? accounts->passwd.string() : "";
  const std::string shadow = accounts ? accounts->shadow.string() : "";
  pid_ = ::fork();
  if (pid_ == 0) {
    // Only system calls from here on: the test program has threads.
    ::setpgid(0, 0);
    const int out = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out >= 0) {
      ::dup2(out, STDOUT_FILENO);
      ::dup2(out, STDERR_FILENO);
    }
    if (accounts) {
      if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          ::mount(passwd.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0 ||
          ::mount(shadow.c_str(), "/etc/shadow", nullptr, MS_BIND, nullptr) != 0) {
        static constexpr char kMessage[] = "test: cannot set up the private accounts\n";
        (void)!::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
        ::_exit(126);
      }
    }
    ::execv(args[0], args.data());
    ::_exit(127);
  }
}

ProxyProcess::~ProxyProcess() {
  if (pid_ <= 0 || reaped_) return;
  ::kill(-pid_, SIGTERM);
  if (!testkit::PollUntil([&] { return Reaped(); }, 5s)) {
    ::kill(-pid_, SIGKILL);
    (void)testkit::PollUntil([&] { return Reaped(); }, 5s);
  }
}

bool ProxyProcess::WaitReady(uint16_t port) {
  return pid_ > 0 && testkit::PollUntil([&] { return !Reaped() && ConnectLoopback(port).valid(); }, 10s) && !reaped_;
}

std::string ProxyProcess::Log() const { return testkit::ReadFile(log_); }

bool ProxyProcess::Reaped() {
  if (!reaped_ && ::waitpid(pid_, nullptr, WNOHANG) == pid_) reaped_ = true;
  return reaped_;
}

namespace {
// The SHA-512 crypt of kProxyPassword, as a shadow file holds it.
constexpr char kPasswordHash[] =
    "$6$vorlanesalt$zK5VcJ1PXnpWw5iDoRidd08yYts5OF8rJH8UlWZDkl1MBNR6mTkQxW9KQaQdFeAwVUZCGYsXpLq19fM5YiAKA/";
}  // namespace

std::unique_ptr<ProxyProcess> StartDanted(const testkit::TempDir& dir, uint16_t port) {
  // Username first: a client that offers it is asked for it; one that offers only "none" gets in
  // without. SOCKS4 knows no methods and comes in as "none".
  const auto config = dir.WriteFile("danted.conf",
                                    "logoutput: stderr\n"
                                    "internal: 127.0.0.1 port = " + std::to_string(port) + "\n"
                                    "external: 127.0.0.1\n"
                                    "clientmethod: none\n"
                                    "socksmethod: username none\n"
                                    "user.privileged: root\n"
                                    "user.unprivileged: nobody\n"
                                    "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                                    "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 command: connect }\n");
  const auto passwd = dir.WriteFile("passwd",
                                    "root:x:0:0:root:/root:/bin/sh\n"
                                    "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n" +
                                        std::string(kProxyUser) + ":x:4242:4242::/nonexistent:/usr/sbin/nologin\n");
  const auto shadow = dir.WriteFile("shadow", "root:*:19000:0:99999:7:::\nnobody:*:19000:0:99999:7:::\n" +
                                                  std::string(kProxyUser) + ":" + kPasswordHash + ":19000:0:99999:7:::\n");
  return std::make_unique<ProxyProcess>(
      std::vector<std::string>{kDanted, "-f", config.string(), "-p", (dir / "danted.pid").string()},
      dir / "danted.log", ProxyProcess::Accounts{passwd, shadow});
}

std::unique_ptr<ProxyProcess> StartTinyproxy(const testkit::TempDir& dir, uint16_t port, bool basicAuth,
                                             const std::vector<uint16_t>& connectPorts) {
  std::string config = "Port " + std::to_string(port) +
                       "\nListen 127.0.0.1\nTimeout 30\nMaxClients 10\nAllow 127.0.0.1\nLogLevel Info\n";
  for (uint16_t connectPort : connectPorts) config += "ConnectPort " + std::to_string(connectPort) + "\n";
  if (basicAuth) config += std::string("BasicAuth ") + kProxyUser + " " + kProxyPassword + "\n";
  const std::string name = std::string("tinyproxy-") + (basicAuth ? "auth" : "open");
  const auto file = dir.WriteFile(name + ".conf", config);
  return std::make_unique<ProxyProcess>(std::vector<std::string>{kTinyproxy, "-d", "-c", file.string()},
                                        dir / (name + ".log"), std::nullopt);
}

std::unique_ptr<ProxyProcess> StartNginx(const testkit::TempDir& dir, const std::filesystem::path& root,
                                         uint16_t httpPort, uint16_t httpsPort,
                                         const std::filesystem::path& certificate, const std::filesystem::path& key) {
  const std::string at = dir.Path().string() + "/";
  // As root, the workers stay root so that they can read the test's private folders (ignored
  // with a notice otherwise); every path nginx would write to lies in `dir`.
  const std::string config =
      "daemon off;\nuser root;\nworker_processes 1;\npid " + at + "nginx.pid;\nerror_log " + at +
      "nginx-error.log;\nevents { worker_connections 64; }\nhttp {\n"
      "  log_format agent '$request $status \"$http_user_agent\"';\n  access_log " + at + "nginx-access.log agent;\n"
      "  client_body_temp_path " + at + "body;\n  proxy_temp_path " + at + "proxy;\n  fastcgi_temp_path " + at +
      "fastcgi;\n  uwsgi_temp_path " + at + "uwsgi;\n  scgi_temp_path " + at + "scgi;\n"
      "  default_type text/html;\n  root " + root.string() + ";\n"
      "  server { listen 127.0.0.1:" + std::to_string(httpPort) + "; }\n" +
      (httpsPort == 0 ? std::string()
                      : "  server { listen 127.0.0.1:" + std::to_string(httpsPort) + " ssl; ssl_certificate " +
                            certificate.string() + "; ssl_certificate_key " + key.string() + "; }\n") +
      "}\n";
  const auto file = dir.WriteFile("nginx.conf", config);
  return std::make_unique<ProxyProcess>(
      std::vector<std::string>{kNginx, "-p", dir.Path().string(), "-c", file.string(), "-e", at + "nginx-error.log"},
      dir / "nginx.log", std::nullopt);
}

}  // namespace vorlane::tcpclient::testing
