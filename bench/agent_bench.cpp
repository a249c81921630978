// The real agent on loopback: agentinfo round trips over one SSH and one Telnet connection,
// logins per second, and what a flood of agentinfo requests over SSH does to the agent (its
// memory, and the requests it still runs after the client left). Starts `vorlane /console` on
// configurations of its own.
//
//   bench_agent [requests=2000] [logins=20] [flood seconds=8]
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_clients.h"
#include "bench/bench_processes.h"
#include "platform/termserver/tests/ssh_flood_client.h"

using vorlane::bench::Agent;
using vorlane::bench::FreePort;
using vorlane::bench::SshClient;
using vorlane::bench::TelnetClient;
using vorlane::termserver::testing::SshFloodClient;
using Clock = std::chrono::steady_clock;

namespace {

void Report(const char* what, const std::vector<double>& micros, double seconds) {
  if (micros.empty()) {
    std::printf("%-32s failed\n", what);
    return;
  }
  const vorlane::bench::Latencies summary = vorlane::bench::Summarize(micros);
  std::printf("%-32s n=%-6zu median %9.1f us   p99 %9.1f us   %8.0f /s\n", what, summary.count, summary.median,
              summary.p99, static_cast<double>(summary.count) / seconds);
}

// A field of `agent`'s /proc status, in kB.
long StatusKb(const Agent& agent, std::string_view key) {
  return vorlane::termserver::testing::StatusKb("/proc/" + std::to_string(agent.pid()) + "/status", key);
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
  const auto start = Clock::now();
  const std::vector<double> micros = vorlane::bench::TimeLogins(
      [&] { return vorlane::bench::LoggedIn<Client>(port, "monitor", "pw", "registrationlevel=standard#", noDelay); },
      logins,
      std::chrono::minutes(10));
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
  const long rssBefore = StatusKb(agent, "VmRSS");
  SshFloodClient client(port, "monitor", "pw");
  if (!client.Connect(channels, "registrationlevel=standard#")) return (void)std::printf("%-32s login failed\n", what);
  const std::string record =
      "#keycount=2#requestaction=agentinfo#sessionid=" + vorlane::bench::SessionFrom(client.Greeting()) + "#";
  long rssPeak = rssBefore;
  auto nextSample = Clock::now();
  const auto start = Clock::now();
  client.Flood(record, read, std::chrono::seconds(seconds), [&] {
    if (Clock::now() >= nextSample) {
      rssPeak = std::max(rssPeak, StatusKb(agent, "VmRSS"));
      nextSample += std::chrono::milliseconds(50);
    }
    return true;
  });
  const double flooded = std::chrono::duration<double>(Clock::now() - start).count();
  const bool ended = client.Ended();
  client.Abandon();
  const long runAtLeave = agent.RequestsRun();
  const long rssAtLeave = StatusKb(agent, "VmRSS");
  std::this_thread::sleep_for(std::chrono::seconds(3));  // what the agent still runs afterwards
  const long runLater = agent.RequestsRun();
  std::printf("%-32s %.1f s%s, %llu requests written, %llu answer bytes read\n", what, flooded,
              ended ? " (the agent ended the connection)" : "",
              static_cast<unsigned long long>(client.RecordsWritten()),
              static_cast<unsigned long long>(client.BytesRead()));
  std::printf("%-32s RSS %ld kB before, peak seen %ld kB, %ld kB at leave, %ld kB 3 s later; VmHWM %ld kB\n", "",
              rssBefore, rssPeak, rssAtLeave, StatusKb(agent, "VmRSS"), StatusKb(agent, "VmHWM"));
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
