// The peers the agent load benchmark runs beside the agent, each on a configuration and folder
// of its own: zabbix_agentd (passive checks only) with a client for its passive protocol, and
// OpenSSH's sshd with key logins whose session prints one line. Also the dead host both kinds
// of check wait on: an address whose packets vanish without an answer.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "bench/bench_processes.h"
#include "ping/tests/ping_namespace.h"

namespace vorlane::bench {

using ping::testing::RunCommand;

// A TCP connection to 127.0.0.1:`port`; -1 when refused.
inline int ConnectLoopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  ::close(fd);
  return -1;
}

// zabbix_agentd's passive protocol: one request per connection, "ZBXD\x01", the length as 8
// little-endian bytes (4 of length, 4 reserved), then the key; the answer has the same framing
// and the agent closes the connection after it.
inline int ZabbixSend(int port, const std::string& key) {
  const int fd = ConnectLoopback(port);
  if (fd < 0) return -1;
  std::string frame = "ZBXD\x01";
  const uint64_t length = key.size();
  for (int i = 0; i < 8; ++i) frame += static_cast<char>((length >> (8 * i)) & 0xFF);
  frame += key;
  if (::write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Reads the answer on `fd` (from ZabbixSend) until the agent closes, by `deadline`; closes `fd`.
// The value, or "" on failure.
inline std::string ZabbixReceive(int fd, std::chrono::steady_clock::time_point deadline) {
  if (fd < 0) return "";
  std::string answer;
  for (int i = 0; i < 10000; ++i) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    pollfd pfd{fd, POLLIN, 0};
    if (left <= 0 || ::poll(&pfd, 1, static_cast<int>(left)) <= 0) break;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  if (answer.size() < 13 || answer.compare(0, 4, "ZBXD") != 0) return "";
  return answer.substr(13);
}

inline std::string ZabbixGet(int port, const std::string& key) {
  return ZabbixReceive(ZabbixSend(port, key), std::chrono::steady_clock::now() + std::chrono::seconds(10));
}

// zabbix_agentd in the foreground with `startAgents` listener processes, Timeout=3, passive
// checks from 127.0.0.1 only, no active checks.
inline constexpr int kZabbixPortsBelow = 32768;  // it takes no ListenPort above 32767
class ZabbixAgentd {
 public:
  ZabbixAgentd(int port, int startAgents)
      : port_(port), dir_("vorlane-bench-zabbix"), process_(Start(port, startAgents)) {
    WaitFor([this] { return !process_.Running() || !ZabbixGet(port_, "agent.version").empty(); },
            std::chrono::seconds(10));
  }
  bool Started() { return process_.Running() && !ZabbixGet(port_, "agent.version").empty(); }
  pid_t pid() const { return process_.pid(); }
  std::string Log() const { return ReadText(dir_.path() / "log"); }

 private:
  ChildProcess Start(int port, int startAgents) {
    const std::filesystem::path config = dir_.path() / "zabbix_agentd.conf";
    std::ofstream(config) << "LogType=console\nPidFile=" << (dir_.path() / "zabbix_agentd.pid").string()
                          << "\nListenIP=127.0.0.1\nListenPort=" << port << "\nServer=127.0.0.1\nStartAgents="
                          << startAgents << "\nTimeout=3\nAllowRoot=1\nHostname=vorlane-bench\n";
    return ChildProcess({"/usr/sbin/zabbix_agentd", "-f", "-c", config.string()}, dir_.path() / "log");
  }

  int port_;
  TempDir dir_;
  ChildProcess process_;
};

// OpenSSH's sshd on 127.0.0.1:`port` with an ed25519 host key of its own, accepting the user
// running the benchmark with a key made here (KeyFile()); every session runs `echo ready`.
class Sshd {
 public:
  explicit Sshd(int port) : dir_("vorlane-bench-sshd") {
    const std::string dir = dir_.path().string();
    if (RunCommand({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", dir + "/host_ed25519"}).exitCode != 0 ||
        RunCommand({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", dir + "/client_ed25519"}).exitCode != 0) {
      return;
    }
    std::filesystem::copy_file(dir + "/client_ed25519.pub", dir + "/authorized_keys");
    // sshd wants its privilege separation folder; in the benchmark's own /run it is missing.
    ::mkdir("/run/sshd", 0755);
    std::ofstream(dir + "/sshd_config")
        << "Port " << port << "\nListenAddress 127.0.0.1\nHostKey " << dir << "/host_ed25519\nPidFile " << dir
        << "/sshd.pid\nUsePAM no\nStrictModes no\nPubkeyAuthentication yes\nAuthorizedKeysFile " << dir
        << "/authorized_keys\nPasswordAuthentication no\nKbdInteractiveAuthentication no\n"
        << "PermitRootLogin prohibit-password\nForceCommand echo ready\nPrintMotd no\nPrintLastLog no\n"
        << "UseDNS no\nMaxStartups 200\nLogLevel INFO\n"
        // Bash run by sshd reads the user's ~/.bashrc unless SHLVL says it is nested, and that
        // file may start programs of its own: none of that belongs in a login's figures.
        << "SetEnv SHLVL=1\n";
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/sbin/sshd", "-D", "-e", "-f", dir + "/sshd_config"}, dir_.path() / "log");
    WaitFor([this] { return !process_->Running() || Log().find("Server listening") != std::string::npos; },
            std::chrono::seconds(10));
  }
  bool Started() const { return process_ && Log().find("Server listening") != std::string::npos; }
  pid_t pid() const { return process_ ? process_->pid() : 0; }
  std::string KeyFile() const { return (dir_.path() / "client_ed25519").string(); }
  std::string Log() const { return ReadText(dir_.path() / "log"); }

 private:
  TempDir dir_;
  std::unique_ptr<ChildProcess> process_;
};

// An address that drops everything: routed into a network namespace (joined to ours by a veth
// pair) that does not own it and does not forward, so its packets vanish without an ICMP error or
// a reset. Needs the program to sit in its own network (ping::testing::EnterPrivateNetwork).
class DeadHost {
 public:
  DeadHost() {
    if (!namespace_.ok()) {
      error_ = namespace_.error();
      return;
    }
    const auto route = RunCommand({"ip", "route", "add", address_ + "/32", "via", namespace_.remoteAddress()});
    if (route.exitCode != 0) error_ = "ip route add failed: " + route.output;
  }
  const std::string& address() const { return address_; }
  // "" when a TCP connect to it and an ICMP echo to it both go unanswered for `wait`, else what
  // happened instead.
  std::string Verify(std::chrono::milliseconds wait) const {
    if (!error_.empty()) return error_;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(80);
    ::inet_pton(AF_INET, address_.c_str(), &target.sin_addr);
    const int tcp = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int icmp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    std::string result;
    if (::connect(tcp, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0 || errno != EINPROGRESS) {
      result = std::string("TCP connect did not wait: ") + std::strerror(errno);
    }
    icmphdr echo{};
    echo.type = ICMP_ECHO;
    echo.un.echo.sequence = htons(1);
    target.sin_port = 0;
    if (result.empty() && ::sendto(icmp, &echo, sizeof echo, 0, reinterpret_cast<sockaddr*>(&target), sizeof target) < 0) {
      result = std::string("ICMP echo not sent: ") + std::strerror(errno);
    }
    pollfd fds[2] = {{tcp, POLLOUT, 0}, {icmp, POLLIN, 0}};
    if (result.empty() && ::poll(fds, 2, static_cast<int>(wait.count())) != 0) {
      int error = 0;
      socklen_t length = sizeof error;
      ::getsockopt(tcp, SOL_SOCKET, SO_ERROR, &error, &length);
      result = fds[1].revents != 0 ? "an ICMP echo was answered"
                                   : std::string("the TCP connect was answered: ") + std::strerror(error);
    }
    ::close(tcp);
    ::close(icmp);
    return result;
  }

 private:
  ping::testing::PingNamespace namespace_;
  std::string address_ = "10.251.0.1";
  std::string error_;
};

}  // namespace vorlane::bench
