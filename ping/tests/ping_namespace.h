// Test harness for the ICMP tests: a private network for the whole test program and throw-away
// network namespaces, each joined to it by a veth pair and running an echo responder.
//
// EnterPrivateNetwork() must run while the program has a single thread (a gtest Environment
// does). It moves the program into a new network namespace and a new mount namespace with its
// own /run, so every interface, address and namespace created afterwards is invisible to the
// host and disappears with the program even if it crashes.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "testing/poll_until.h"

namespace vorlane::ping::testing {

struct CommandResult {
  int exitCode = -1;  // -1: could not start, killed, or timed out
  std::string output;  // stdout and stderr
};

inline void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Waits for `pid` up to `timeout`; kills it (by pid) when it does not end in time.
inline int WaitChild(pid_t pid, std::chrono::milliseconds timeout) {
  int code = -1;
  const bool ended = testkit::PollUntil(
      [&] {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return r == pid || (r < 0 && errno != EINTR);
      },
      timeout, std::chrono::milliseconds(2));
  if (ended) return code;
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);  // SIGKILL cannot be ignored: this returns
  return -1;
}

// Appends what `fd` delivers to *out until it is closed, `done(*out)` holds or `deadline` passes.
inline void ReadPipe(int fd, std::chrono::steady_clock::time_point deadline, std::string* out,
                     const std::function<bool(const std::string&)>& done = {}) {
  char buf[4096];
  for (int i = 0; i < 100000 && !(done && done(*out)); ++i) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd pfd{fd, POLLIN, 0};
    int r = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out->append(buf, static_cast<size_t>(n));
  }
}

// Runs argv[0] (searched in PATH) with the given arguments, output captured, bounded in time.
inline CommandResult RunCommand(const std::vector<std::string>& args,
                                std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  CommandResult result;
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return result;
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    return result;
  }
  if (pid == 0) {
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::dup2(pipeFds[1], STDERR_FILENO);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  ReadPipe(pipeFds[0], deadline, &result.output);
  ::close(pipeFds[0]);
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  result.exitCode = WaitChild(pid, std::max(left, std::chrono::milliseconds(100)));
  return result;
}

inline bool WriteFile(const char* path, const std::string& text) {
  int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

inline bool WriteNewFile(const char* path, const std::string& text) {
  int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

// Moves the calling (single-threaded) process into its own network and mount namespaces, with
// loopback up and datagram ICMP sockets allowed. Returns "" on success, else why not.
inline std::string EnterPrivateNetwork() {
  if (::geteuid() != 0) return "needs root (raw sockets, network namespaces)";
  if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
    return std::string("unshare(CLONE_NEWNET|CLONE_NEWNS) failed: ") + std::strerror(errno);
  }
  // Mounts made from here on (ip netns keeps its namespaces under /run/netns) stay ours.
  if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return std::string("making mounts private failed: ") + std::strerror(errno);
  }
  // A fresh /run of our own: nothing of what ip netns keeps there reaches the host's /run.
  if (::mount("vorlane-run", "/run", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=755") != 0) {
    return std::string("tmpfs on /run failed: ") + std::strerror(errno);
  }
  if (::mkdir("/run/netns", 0755) != 0) return std::string("mkdir /run/netns failed: ") + std::strerror(errno);
  auto lo = RunCommand({"ip", "link", "set", "lo", "up"});
  if (lo.exitCode != 0) return "ip link set lo up failed: " + lo.output;
  if (!WriteFile("/proc/sys/net/ipv4/ping_group_range", "0 2147483647")) {
    return "cannot allow datagram ICMP sockets in the test namespace";
  }
  return "";
}

inline sockaddr_storage Ipv4Address(const std::string& text) {
  sockaddr_storage ss{};
  auto& sin = reinterpret_cast<sockaddr_in&>(ss);
  sin.sin_family = AF_INET;
  if (::inet_pton(AF_INET, text.c_str(), &sin.sin_addr) != 1) ss.ss_family = AF_UNSPEC;
  return ss;
}

inline sockaddr_storage Ipv6Address(const std::string& text) {
  sockaddr_storage ss{};
  auto& sin6 = reinterpret_cast<sockaddr_in6&>(ss);
  sin6.sin6_family = AF_INET6;
  if (::inet_pton(AF_INET6, text.c_str(), &sin6.sin6_addr) != 1) ss.ss_family = AF_UNSPEC;
  return ss;
}

// One network namespace "vlz-<pid>-<n>" joined to ours by a veth pair on 10.<a>.<b>.0/30 and
// fd00:76:<n+1>::/64: .1 / ::1 on our side, .2 / ::2 inside. Kernel echo replies are off
// inside, so only the responder answers.
class PingNamespace {
 public:
  PingNamespace() : index_(NextIndex()) {
    name_ = "vlz-" + std::to_string(::getpid()) + "-" + std::to_string(index_);
    outerLink_ = "vlz" + std::to_string(index_) + "a";
    innerLink_ = "vlz" + std::to_string(index_) + "b";
    const std::string prefix = "10." + std::to_string(100 + index_ / 64) + "." + std::to_string(index_ % 64 * 4) + ".";
    local_ = prefix + "1";
    remote_ = prefix + "2";
    local6_ = "fd00:76:" + std::to_string(index_ + 1) + "::1";
    remote6_ = "fd00:76:" + std::to_string(index_ + 1) + "::2";

    if (!Step({"ip", "netns", "add", name_})) return;
    createdNamespace_ = true;
    if (!Step({"ip", "link", "add", outerLink_, "type", "veth", "peer", "name", innerLink_})) return;
    createdLink_ = true;
    ok_ = Step({"ip", "link", "set", innerLink_, "netns", name_}) &&
          Step({"ip", "addr", "add", local_ + "/30", "dev", outerLink_}) &&
          Step({"ip", "link", "set", outerLink_, "up"}) &&
          Step({"ip", "netns", "exec", name_, "ip", "addr", "add", remote_ + "/30", "dev", innerLink_}) &&
          Step({"ip", "netns", "exec", name_, "ip", "link", "set", innerLink_, "up"}) &&
          Step({"ip", "netns", "exec", name_, "ip", "link", "set", "lo", "up"}) &&
          Step({"ip", "-6", "addr", "add", local6_ + "/64", "dev", outerLink_, "nodad"}) &&
          Step({"ip", "netns", "exec", name_, "ip", "-6", "addr", "add", remote6_ + "/64", "dev", innerLink_,
                "nodad"}) &&
          Step({"ip", "netns", "exec", name_, "sh", "-c",
                "echo 1 > /proc/sys/net/ipv4/icmp_echo_ignore_all && "
                "echo 1 > /proc/sys/net/ipv6/icmp/echo_ignore_all"});
  }

  PingNamespace(const PingNamespace&) = delete;
  PingNamespace& operator=(const PingNamespace&) = delete;

  ~PingNamespace() {
    StopResponder();
    if (createdNamespace_) (void)RunCommand({"ip", "netns", "del", name_});
    // Deleting the namespace takes the inner end and with it the pair; this covers the case
    // where the inner end never moved.
    if (createdLink_) (void)RunCommand({"ip", "link", "del", outerLink_});
  }

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  const std::string& name() const { return name_; }
  const std::string& localAddress() const { return local_; }
  const std::string& remoteAddress() const { return remote_; }
  sockaddr_storage remote() const { return Ipv4Address(remote_); }
  const std::string& remoteAddress6() const { return remote6_; }
  sockaddr_storage remote6() const { return Ipv6Address(remote6_); }

  // Gives the namespace one more address (a /32 from 10.250.0.0/16) routed to it from our side.
  // Returns it, or "" on failure.
  std::string AddExtraAddress() {
    const std::string extra = "10.250." + std::to_string(index_ / 250) + "." + std::to_string(index_ % 250 + 1);
    if (!Step({"ip", "netns", "exec", name_, "ip", "addr", "add", extra + "/32", "dev", innerLink_}) ||
        !Step({"ip", "route", "add", extra + "/32", "via", remote_, "dev", outerLink_})) {
      return "";
    }
    return extra;
  }

  // The same for IPv6: one /128 from fd00:77::/64.
  std::string AddExtraAddress6() {
    const std::string extra = "fd00:77::" + std::to_string(index_ + 1);
    if (!Step({"ip", "netns", "exec", name_, "ip", "-6", "addr", "add", extra + "/128", "dev", innerLink_, "nodad"}) ||
        !Step({"ip", "-6", "route", "add", extra + "/128", "via", remote6_, "dev", outerLink_})) {
      return "";
    }
    return extra;
  }

  // Starts the responder inside the namespace; true once it reported "ready" (bounded wait).
  // Call from the thread that owns this object: the responder dies with that thread.
  bool StartResponder(const std::string& program, const std::vector<std::string>& args,
                      std::chrono::milliseconds readyTimeout = std::chrono::seconds(10)) {
    StopResponder();
    std::vector<std::string> full = {"ip", "netns", "exec", name_, program};
    full.insert(full.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : full) argv.push_back(a.data());
    argv.push_back(nullptr);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return Fail("pipe failed");
    const pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0) {
      ::close(pipeFds[0]);
      ::close(pipeFds[1]);
      return Fail("fork failed");
    }
    if (pid == 0) {
      // Never outlive the test, even when it crashes.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(126);
      ::dup2(pipeFds[1], STDOUT_FILENO);
      ::execvp(argv[0], argv.data());  // ip netns exec replaces itself with the responder
      ::_exit(127);
    }
    ::close(pipeFds[1]);
    responderPid_ = pid;
    std::string seen;
    auto ready = [](const std::string& text) { return text.find("ready\n") != std::string::npos; };
    ReadPipe(pipeFds[0], std::chrono::steady_clock::now() + readyTimeout, &seen, ready);
    ::close(pipeFds[0]);
    if (!ready(seen)) {
      StopResponder();
      return Fail("responder did not get ready; said: " + seen);
    }
    return true;
  }

  void StopResponder() {
    if (responderPid_ <= 0) return;
    ::kill(responderPid_, SIGTERM);
    (void)WaitChild(responderPid_, std::chrono::seconds(3));
    responderPid_ = -1;
  }

 private:
  static int NextIndex() {
    static std::atomic<int> next{0};
    return next.fetch_add(1);
  }

  bool Step(const std::vector<std::string>& args) {
    CommandResult r = RunCommand(args);
    if (r.exitCode == 0) return true;
    std::string line;
    for (const auto& a : args) line += a + " ";
    return Fail(line + "failed (" + std::to_string(r.exitCode) + "): " + r.output);
  }

  bool Fail(const std::string& why) {
    if (error_.empty()) error_ = why;
    return false;
  }

  int index_;
  std::string name_, outerLink_, innerLink_, local_, remote_, local6_, remote6_, error_;
  bool ok_ = false;
  bool createdNamespace_ = false;
  bool createdLink_ = false;
  pid_t responderPid_ = -1;
};

}  // namespace vorlane::ping::testing
