// The real agent on loopback: agentinfo round trips over one SSH and one Telnet connection,
// logins per second, and what a flood of agentinfo requests over SSH does to the agent (its
// memory, and the requests it still runs after the client left). Starts `vorlane /console` on
// configurations of its own.
//
//   bench_agent [requests=2000] [logins=20] [flood seconds=8]
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
#include "platform/termserver/tests/ssh_flood_client.h"

extern char** environ;

using vorlane::bench::SshClient;
using vorlane::bench::TelnetClient;
using vorlane::termserver::testing::SshFloodClient;
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
  bool Started() const { return Log().find("Server started!") != std::string::npos; }
  std::string Log() const {
    std::ifstream in(dir_ / "log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // The requests the agent has run: it logs one line for each as it takes it.
  long RequestsRun() const {
    const std::string log = Log(), line = "Received from ";
    long count = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + line.size())) ++count;
    return count;
  }
  long LogBytes() const {
    std::error_code error;
    return static_cast<long>(std::filesystem::file_size(dir_ / "log", error));
  }
  // A field of the agent's /proc status, in kB.
  long StatusKb(std::string_view key) const {
    return vorlane::termserver::testing::StatusKb("/proc/" + std::to_string(pid_) + "/status", key);
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
void Logins(const char* what, int port, int logins, bool noDelay) {
  std::vector<double> micros;
  const auto start = Clock::now();
  for (int i = 0; i < logins; ++i) {
    const auto before = Clock::now();
    Client client(port, "monitor", "pw", "registrationlevel=standard#", noDelay);
    if (!client.Login()) break;
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
  }
  Report(what, micros, std::chrono::duration<double>(Clock::now() - start).count());
}

// Floods a fresh agent over SSH with agentinfo requests on `channels` channels of one
// connection for `seconds` (or until the agent ends the connection), reading the answers or
// not; then the client leaves without a word. Prints the agent's memory, the requests it ran
// by the time the client left and three seconds later, and the size of its log.
void Flood(const char* what, int channels, bool read, int seconds) {
  const int port = FreePort();
  Agent agent("SSH", port);
  if (!agent.Started()) return (void)std::printf("%-32s the agent did not start\n", what);
  const long rssBefore = agent.StatusKb("VmRSS");
  SshFloodClient client(port, "monitor", "pw");
  if (!client.Connect(channels, "registrationlevel=standard#")) return (void)std::printf("%-32s login failed\n", what);
  const std::string record =
      "#keycount=2#requestaction=agentinfo#sessionid=" + vorlane::bench::SessionFrom(client.Greeting()) + "#";
  long rssPeak = rssBefore;
  auto nextSample = Clock::now();
  const auto start = Clock::now();
  client.Flood(record, read, std::chrono::seconds(seconds), [&] {
    if (Clock::now() >= nextSample) {
      rssPeak = std::max(rssPeak, agent.StatusKb("VmRSS"));
      nextSample += std::chrono::milliseconds(50);
    }
    return true;
  });
  const double flooded = std::chrono::duration<double>(Clock::now() - start).count();
  const bool ended = client.Ended();
  client.Abandon();
  const long runAtLeave = agent.RequestsRun();
  const long rssAtLeave = agent.StatusKb("VmRSS");
  std::this_thread::sleep_for(std::chrono::seconds(3));  // what the agent still runs afterwards
  const long runLater = agent.RequestsRun();
  std::printf("%-32s %.1f s%s, %llu requests written, %llu answer bytes read\n", what, flooded,
              ended ? " (the agent ended the connection)" : "",
              static_cast<unsigned long long>(client.RecordsWritten()),
              static_cast<unsigned long long>(client.BytesRead()));
  std::printf("%-32s RSS %ld kB before, peak seen %ld kB, %ld kB at leave, %ld kB 3 s later; VmHWM %ld kB\n", "",
              rssBefore, rssPeak, rssAtLeave, agent.StatusKb("VmRSS"), agent.StatusKb("VmHWM"));
  std::printf("%-32s requests run: %ld when the client left, %ld three seconds later; log %ld bytes\n", "",
              runAtLeave, runLater, agent.LogBytes());
}

}  // namespace

int main(int argc, char** argv) {
  const int requests = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int logins = argc > 2 ? std::atoi(argv[2]) : 20;
  const int floodSeconds = argc > 3 ? std::atoi(argv[3]) : 8;
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
  // Connect to login answer, with a client that turns Nagle's algorithm off and one that leaves
  // it on (libssh's default; many Telnet clients).
  Logins<SshClient>("ssh: logins, TCP_NODELAY", sshPort, logins, true);
  Logins<SshClient>("ssh: logins, Nagle on", sshPort, logins, false);
  Logins<TelnetClient>("telnet: logins, TCP_NODELAY", telnetPort, logins, true);
  Logins<TelnetClient>("telnet: logins, Nagle on", telnetPort, logins, false);
  Flood("ssh: flood, reading answers", 1, true, floodSeconds);
  // Longer, so that the agent can give up on the client: its output stops moving once the
  // client's windows are full, and the agent waits 10 s more before it ends the connection.
  Flood("ssh: flood, 8 channels unread", 8, false, floodSeconds + 15);
  return 0;
}
