// The real agent program for end-to-end tests: a configuration folder of its own, the program
// started in the foreground (/console) on it, its log collected, and a clean stop by SIGTERM.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cipher/password.h"

extern char** environ;

namespace vorlane::agent::testing {

using namespace std::chrono_literals;

// A port that was free a moment ago on 127.0.0.1.
inline int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

inline std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// AgentConfig.INI with the general section for `protocol` on 127.0.0.1:`port`, then `users`.
inline std::string Config(const std::string& protocol, int port, const std::string& users) {
  return "[GeneralInfo]\r\nProtocol=" + protocol + "\r\nPort=" + std::to_string(port) + "\r\nBindIP=127.0.0.1\r\n" +
         users;
}

// One user section with the password stored as the agent keeps it.
inline std::string User(const std::string& section, const std::string& name, const std::string& password,
                        const std::string& range = "") {
  return "[" + section + "]\r\nUserName=" + name + "\r\nPassword=" + cipher::EncipherPassword(password) +
         "\r\nRange=" + range + "\r\n";
}

class AgentProcess {
 public:
  AgentProcess() {
    char pattern[] = "/tmp/vorlane-agent-XXXXXX";
    if (::mkdtemp(pattern) != nullptr) dir_ = pattern;
  }
  ~AgentProcess() {
    Stop();
    std::filesystem::remove_all(dir_);
  }

  const std::filesystem::path& Dir() const { return dir_; }
  std::filesystem::path ConfigFile() const { return dir_ / "AgentConfig.INI"; }
  void WriteConfig(const std::string& text) { std::ofstream(ConfigFile(), std::ios::binary) << text; }
  // The agent's session clock stands still at a fixed time until moved forward.
  void AdvanceClock(long long seconds) {
    clock_ += seconds;
    std::ofstream(dir_ / "clock") << clock_;
  }

  // Runs `vorlane` with `args` and the test environment; true once it is running.
  bool Start(const std::vector<std::string>& args = {"/console"}, const std::vector<std::string>& extraEnv = {}) {
    AdvanceClock(0);
    std::vector<std::string> env = extraEnv;
    env.insert(env.end(), {"VORLANE_CONFIG_DIR=" + dir_.string(),
                                    "VORLANE_TEST_CLOCK_FILE=" + (dir_ / "clock").string(),
                                    "TMPDIR=" + dir_.string()});
    for (char** e = environ; *e != nullptr; ++e) {
      std::string entry = *e;
      if (entry.rfind("VORLANE_", 0) != 0 && entry.rfind("TMPDIR=", 0) != 0 && entry.rfind("NOTIFY_SOCKET=", 0) != 0 &&
          entry.rfind("INVOCATION_ID=", 0) != 0) {
        env.push_back(entry);
      }
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argvStrings = {VORLANE_AGENT_BINARY};
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvStrings) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (dir_ / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (dir_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0;
  }

  // Waits until the log holds `text` (true), or the program ended or 20 s passed (false).
  bool WaitForLog(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (Log().find(text) != std::string::npos) return true;
      if (Exited()) return Log().find(text) != std::string::npos;
      ::poll(nullptr, 0, 20);
    }
    return false;
  }

  // Ends the program with SIGTERM; its exit status, or -1 when it had to be killed.
  int Stop() {
    if (pid_ <= 0) return exitStatus_;
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!Exited() && std::chrono::steady_clock::now() < deadline) ::poll(nullptr, 0, 20);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = 0;
      exitStatus_ = -1;
    }
    return exitStatus_;
  }

  // True once the program has ended (its status is then ExitStatus()).
  bool Exited() {
    if (pid_ <= 0) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      pid_ = 0;
      return true;
    }
    return false;
  }
  // Waits up to 20 s for the program to end by itself.
  int WaitExit() {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!Exited() && std::chrono::steady_clock::now() < deadline) ::poll(nullptr, 0, 20);
    return pid_ > 0 ? Stop() : exitStatus_;
  }
  int ExitStatus() const { return exitStatus_; }
  std::string Log() const { return ReadAll(dir_ / "stderr"); }
  std::string Output() const { return ReadAll(dir_ / "stdout"); }

 private:
  std::filesystem::path dir_;
  pid_t pid_ = 0;
  int exitStatus_ = -1;
  long long clock_ = 1700000000;
};

// A Telnet client that ignores option negotiation (it drops IAC sequences from what it reads).
class TelnetClient {
 public:
  explicit TelnetClient(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~TelnetClient() { ::close(fd_); }
  TelnetClient(const TelnetClient&) = delete;
  TelnetClient& operator=(const TelnetClient&) = delete;

  // Logs in; the login answer's session id, or "" when refused.
  std::string Login(const std::string& user, const std::string& password) {
    if (!connected_ || !ReadUntil("login: ")) return {};
    Send(user + "\r\n");
    if (!ReadUntil("Password: ")) return {};
    Send(password + "\r\n");
    // The login answer, or a refusal (the server says so and prompts again).
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (text_.find("Login incorrect") != std::string::npos) {
        text_.clear();
        return {};
      }
      const std::string key = "responseaction=login#sessionid=";
      size_t at = text_.find(key);
      size_t end = at == std::string::npos ? at : text_.find("#registrationlevel=standard#", at);
      if (end != std::string::npos) {
        std::string id = text_.substr(at + key.size(), end - at - key.size());
        text_.clear();
        return id;
      }
      if (!Fill(100ms) && closed_) return {};
    }
    return {};
  }
  void Send(const std::string& text) { (void)!::write(fd_, text.data(), text.size()); }
  // Sends one request with a line end and returns the answer record ("" when none came).
  std::string Request(const std::string& record, std::chrono::milliseconds wait = 10s) {
    Send(record + "\r\n");
    return ReadRecord(wait);
  }
  // The next record: from a '#' up to the last '#' before the output goes quiet. Line ends
  // inside the record are kept as sent; those after it are not part of it.
  std::string ReadRecord(std::chrono::milliseconds wait = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < deadline) {
      const size_t start = text_.find('#');
      const size_t last = text_.rfind('#');
      if (start != std::string::npos && last > start && text_.find_first_not_of("\r\n", last + 1) == std::string::npos) {
        // A record is complete when nothing more arrives for a moment.
        if (!Fill(100ms)) {
          std::string record = text_.substr(start, last + 1 - start);
          text_.clear();
          return record;
        }
        continue;
      }
      if (!Fill(100ms) && closed_) return {};
    }
    return {};
  }
  bool ReadUntil(const std::string& needle) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (size_t at = text_.find(needle); at != std::string::npos) {
        text_.erase(0, at + needle.size());
        return true;
      }
      if (!Fill(100ms) && closed_) return false;
    }
    return false;
  }
  bool Closed() {
    Fill(2s);
    return closed_;
  }

 private:
  // Reads what arrives within `wait`; false when nothing did.
  bool Fill(std::chrono::milliseconds wait) {
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(wait.count())) <= 0) return false;
    unsigned char buffer[4096];
    ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    for (ssize_t i = 0; i < n; ++i) {
      if (skip_ > 0) {
        --skip_;
      } else if (buffer[i] == 0xFF) {
        skip_ = 2;
      } else {
        text_ += static_cast<char>(buffer[i]);
      }
    }
    return true;
  }

  int fd_;
  bool connected_ = false;
  bool closed_ = false;
  int skip_ = 0;
  std::string text_;
};

}  // namespace vorlane::agent::testing
