// The real agent on loopback: agentinfo round trips over one SSH and one Telnet connection, and
// logins per second. Starts `vorlane /console` on configurations of its own.
//
//   bench_agent [requests=2000] [logins=20]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_clients.h"
#include "cipher/password.h"

extern char** environ;

using vorlane::bench::SshClient;
using vorlane::bench::TelnetClient;
using Clock = std::chrono::steady_clock;

namespace {

// One agent process on a folder of its own, stopped with SIGTERM.
class Agent {
 public:
  Agent(const std::string& protocol, int port) {
    char pattern[] = "/tmp/vorlane-bench-agent-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    std::ofstream(dir_ / "AgentConfig.INI") << "[GeneralInfo]\nProtocol=" << protocol << "\nPort=" << port
                                            << "\nBindIP=127.0.0.1\n[Operators]\nUserName=monitor\nPassword="
                                            << vorlane::cipher::EncipherPassword("pw") << "\n";
    std::string dirEnv = "VORLANE_CONFIG_DIR=" + dir_.string();
    std::vector<char*> envp;
    envp.push_back(dirEnv.data());
    for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
    envp.push_back(nullptr);
    std::string binary = VORLANE_AGENT_BINARY, console = "/console";
    char* argv[] = {binary.data(), console.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, (dir_ / "log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn(&pid_, argv[0], &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; i < 500 && !Started(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ~Agent() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    std::filesystem::remove_all(dir_);
  }
  bool Started() const {
    std::ifstream in(dir_ / "log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str().find("Server started!") != std::string::npos;
  }

 private:
  std::filesystem::path dir_;
  pid_t pid_ = 0;
};

int FreePort() {
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

void Report(const char* what, std::vector<double> micros, double seconds) {
  if (micros.empty()) {
    std::printf("%-32s failed\n", what);
    return;
  }
  std::sort(micros.begin(), micros.end());
  std::printf("%-32s n=%-6zu median %9.1f us   p99 %9.1f us   %8.0f /s\n", what, micros.size(),
              micros[micros.size() / 2], micros[std::min(micros.size() - 1, micros.size() * 99 / 100)],
              static_cast<double>(micros.size()) / seconds);
}

template <class Client>
void AgentInfo(const char* what, int port, int requests) {
  Client client(port, "monitor", "pw");
  if (!client.Login()) return Report(what, {}, 1);
  const std::string request = "#keycount=2#requestaction=agentinfo#sessionid=" + client.SessionId() + "#";
  std::vector<double> micros;
  const auto start = Clock::now();
  for (int i = 0; i < requests; ++i) {
    const auto before = Clock::now();
    if (!client.RoundTrip(request, "#protocolversion=1.9#")) break;
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
  }
  Report(what, micros, std::chrono::duration<double>(Clock::now() - start).count());
}

template <class Client>
void Logins(const char* what, int port, int logins) {
  std::vector<double> micros;
  const auto start = Clock::now();
  for (int i = 0; i < logins; ++i) {
    const auto before = Clock::now();
    Client client(port, "monitor", "pw");
    if (!client.Login()) break;
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
  }
  Report(what, micros, std::chrono::duration<double>(Clock::now() - start).count());
}

}  // namespace

int main(int argc, char** argv) {
  const int requests = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int logins = argc > 2 ? std::atoi(argv[2]) : 20;
  const int sshPort = FreePort();
  const int telnetPort = FreePort();
  Agent ssh("SSH", sshPort);
  Agent telnet("Telnet", telnetPort);
  if (!ssh.Started() || !telnet.Started()) {
    std::fprintf(stderr, "the agents did not start\n");
    return 1;
  }
  AgentInfo<SshClient>("ssh: agentinfo round trip", sshPort, requests);
  AgentInfo<TelnetClient>("telnet: agentinfo round trip", telnetPort, requests);
  Logins<SshClient>("ssh: logins", sshPort, logins);
  Logins<TelnetClient>("telnet: logins", telnetPort, logins);
  return 0;
}
