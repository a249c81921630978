// Test helpers for the SSH server: a served listening socket on 127.0.0.1 and child processes
// (the OpenSSH client) whose output and exit the tests wait for with bounded timeouts.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/unique_fd.h"
#include "platform/termserver/ssh_session.h"
#include "platform/termserver/tests/fake_connection.h"
#include "testing/temp_dir.h"

extern char** environ;

namespace vorlane::termserver::testing {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

using testkit::TempDir;

// One SshServer (host keys made once) for all tests of a program: RSA 3072 takes a while.
inline SshServer& SharedSshServer() {
  static TempDir folder;
  static std::unique_ptr<SshServer> server = [] {
    auto keys = PrepareHostKeys(folder.Path());
    if (!keys) return std::unique_ptr<SshServer>();
    auto created = SshServer::Create(keys.value());
    return created ? std::move(created).value() : std::unique_ptr<SshServer>();
  }();
  return *server;
}

// Listens on 127.0.0.1 (port chosen by the system) and serves the first connection with `fake`
// on a thread of its own, as the component does.
class ServedPort {
 public:
  explicit ServedPort(FakeConnection& fake) : fake_(fake) {
    listen_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(listen_.get(), reinterpret_cast<sockaddr*>(&address), size) == 0 && ::listen(listen_.get(), 4) == 0 &&
        ::getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&address), &size) == 0) {
      port_ = ntohs(address.sin_port);
    }
    SshServer& server = SharedSshServer();
    thread_ = std::thread([this, &server] {
      pollfd ready{listen_.get(), POLLIN, 0};
      if (::poll(&ready, 1, 30000) == 1 && (ready.revents & POLLIN) != 0) {
        int fd = ::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          server.Serve(UniqueFd(fd), fake_);
        }
      }
      done_.set_value();
    });
  }
  ~ServedPort() {
    if (!Done(0ms)) {
      fake_.Close();
      ::shutdown(listen_.get(), SHUT_RDWR);  // wakes an accept that still waits
    }
    thread_.join();
  }
  ServedPort(const ServedPort&) = delete;
  ServedPort& operator=(const ServedPort&) = delete;

  int port() const { return port_; }
  // True once Serve has returned (or no client came).
  bool Done(std::chrono::milliseconds timeout) { return finished_.wait_for(timeout) == std::future_status::ready; }

 private:
  FakeConnection& fake_;
  UniqueFd listen_;
  int port_ = 0;
  std::promise<void> done_;
  std::future<void> finished_ = done_.get_future();
  std::thread thread_;
};

// A child process with a pipe on stdin and stdout+stderr collected into output().
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {}) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    for (char** entry = environ; *entry != nullptr; ++entry) env.push_back(*entry);
    for (const auto& entry : extraEnv) env.push_back(const_cast<char*>(entry.c_str()));
    env.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setpgid(0, 0);  // its own group, so that a stuck test can end it with its children
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::dup2(out[1], 2);
      ::execvpe(args[0], args.data(), env.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    stdin_.reset(in[1]);
    stdout_.reset(out[0]);
    ::fcntl(stdout_.get(), F_SETFL, O_NONBLOCK);
    pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
  }
  ~ChildProcess() {
    if (pid_ > 0 && !status_) {
      ::kill(-pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void Input(const std::string& text) { (void)!::write(stdin_.get(), text.data(), text.size()); }
  void CloseInput() { stdin_.reset(); }
  const std::string& output() const { return output_; }

  // Waits until the output contains `text`; false after `timeout` or once the output ended.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (output_.find(text) == std::string::npos) {
      if (!stdout_.valid() || Clock::now() >= deadline) return false;
      Pump(deadline);
    }
    return true;
  }

  // The exit code (128 + signal when killed by one), or nothing after `timeout`.
  std::optional<int> Wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!status_) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (Clock::now() >= deadline) return std::nullopt;
      Pump(deadline);
    }
    // The rest of the output; its writers are gone with the process.
    const auto drainDeadline = Clock::now() + 2s;
    while (stdout_.valid() && Clock::now() < drainDeadline) Pump(drainDeadline);
    return status_;
  }

 private:
  // Waits until output comes, the process exits, or `deadline`; reads what came.
  void Pump(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd fds[2];
    nfds_t count = 0;
    if (stdout_.valid()) fds[count++] = {stdout_.get(), POLLIN, 0};
    if (!status_) fds[count++] = {pidfd_.get(), POLLIN, 0};  // readable for good once it exited
    if (count == 0 || ::poll(fds, count, static_cast<int>(std::max(left, 0ms).count())) <= 0) return;
    if (stdout_.valid() && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      char buffer[4096];
      ssize_t got = ::read(stdout_.get(), buffer, sizeof buffer);
      if (got > 0) output_.append(buffer, static_cast<size_t>(got));
      if (got == 0) stdout_.reset();
    }
  }

  pid_t pid_ = -1;
  UniqueFd stdin_, stdout_, pidfd_;
  std::string output_;
  std::optional<int> status_;
};

// The OpenSSH client against the served port, every option fixed so that no configuration or
// known host file of the machine takes part; `timeout` ends it whatever happens.
inline std::vector<std::string> SshCommand(int port, const std::string& password, const std::vector<std::string>& options,
                                           const std::vector<std::string>& command = {},
                                           const std::string& user = "monitor") {
  std::vector<std::string> argv = {"timeout", "30", "sshpass", "-p", password, "ssh", "-F", "/dev/null",
                                   "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
                                   "-o", "PubkeyAuthentication=no",
                                   "-o", "PreferredAuthentications=password,keyboard-interactive",
                                   "-o", "LogLevel=ERROR", "-o", "ConnectTimeout=20", "-p", std::to_string(port)};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(user + "@127.0.0.1");
  argv.insert(argv.end(), command.begin(), command.end());
  return argv;
}

using Strings = std::vector<std::string>;

// What a client that was given no input and had to fail left behind.
struct RefusedClient {
  Strings events;      // what the connection was told
  std::string output;  // what the client wrote
};

// Runs the client `command(port)` makes for the served port with its input closed; it must exit
// with a failure, and the server must be done with it.
template <class MakeCommand>
RefusedClient RunRefusedClient(FakeConnection& fake, MakeCommand command, const std::vector<std::string>& env = {}) {
  ServedPort served(fake);
  ChildProcess ssh(command(served.port()), env);
  ssh.CloseInput();
  const std::optional<int> status = ssh.Wait(30s);
  EXPECT_TRUE(status) << ssh.output();
  EXPECT_NE(status.value_or(0), 0) << ssh.output();
  EXPECT_TRUE(served.Done(10s));
  return {fake.Events(), ssh.output()};
}

}  // namespace vorlane::termserver::testing
