// The agent's URL check beside monitoring-plugins' `check_http`: the same page on the tests' own
// HTTP server on loopback, checked `checks` times by runcheck URL over Telnet (the page should
// contain "bench ok") and by check_http run as a program with the same expectation (-s). Prints,
// for each, the median and 99th percentile of the time a check takes (for the agent: as the
// monitoring server waits for its answer, and the response time it reports) and the CPU time it
// costs (the agent process's, or check_http's own as its parent reaps it).
// Then the memory the agent takes for large pages: `kParallelChecks` checks at once, each of a
// 15 MB page from nginx that holds the phrase only at its end, for a few rounds; prints the agent
// process's peak resident memory (VmHWM) before and after.
// Needs `scripts/install-deps.sh --bench` for check_http; a plain program, run by hand:
//   bench_url_check [checks]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/check_bench.h"
#include "tcpclient/tests/proxy_servers.h"
#include "testing/http_peer.h"
#include "testing/temp_dir.h"

namespace {

using namespace vorlane::bench;
using vorlane::testkit::HttpPeer;

constexpr char kCheckHttp[] = "/usr/lib/nagios/plugins/check_http";
constexpr char kPage[] = "<html><body><h1>Status</h1><p>bench ok</p></body></html>";

constexpr int kParallelChecks = 16;
constexpr int kParallelRounds = 3;
constexpr size_t kLargePageBytes = 15 * 1024 * 1024;

// A value of /proc/<pid>/status in kB ("VmHWM", "VmRSS"), or -1.
long StatusKb(pid_t pid, const std::string& key) {
  const std::string status = ReadText("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find(key + ":");
  return at == std::string::npos ? -1 : std::atol(status.c_str() + at + key.size() + 1);
}

// kParallelChecks clients, each logged in on its own connection, ask at once, round after round;
// how many answers were up.
int RunParallelChecks(int agentPort, const std::string& url) {
  std::vector<std::unique_ptr<TelnetClient>> clients;
  for (int i = 0; i < kParallelChecks; ++i) {
    clients.push_back(std::make_unique<TelnetClient>(agentPort, "monitor", "pw"));
    if (!clients.back()->Login()) return 0;
  }
  std::vector<int> up(kParallelChecks, 0);
  for (int round = 0; round < kParallelRounds; ++round) {
    std::vector<std::thread> threads;
    for (int i = 0; i < kParallelChecks; ++i) {
      threads.emplace_back([&, i] {
        TelnetClient& client = *clients[i];
        const std::string request = "#requestaction=runcheck#sessionid=" + client.SessionId() + "#checkid=URL#URL=" +
                                    url + "#Content check type=should contain#Words=exact phrase#"
                                    "Content to check for=Bench OK#";
        if (client.RoundTrip(request, "@@RTO=") || client.LastRead().find("errormessage=") != std::string::npos) {
          up[i] += client.LastRead().find("result=up") != std::string::npos ? 1 : 0;
          (void)client.Await("#");
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  int total = 0;
  for (const int n : up) total += n;
  return total;
}

// The agent's peak memory over the parallel checks of a large page; 0 when every check was up.
int ReportLargePages(const Agent& agent, int agentPort) {
  vorlane::testkit::TempDir site("vorlane-bench-site");
  vorlane::testkit::TempDir nginxDir("vorlane-bench-nginx");
  (void)site.WriteFile("large.html", std::string(kLargePageBytes - 8, 'x') + "bench ok");
  const int nginxPort = FreePort();
  auto nginx = vorlane::tcpclient::testing::StartNginx(nginxDir, site.Path(), static_cast<uint16_t>(nginxPort), 0, {},
                                                      {});
  if (!nginx->WaitReady(static_cast<uint16_t>(nginxPort))) {
    std::fprintf(stderr, "bench_url_check: nginx did not start:\n%s\n", nginx->Log().c_str());
    return 1;
  }
  const long before = StatusKb(agent.pid(), "VmHWM");
  const auto start = std::chrono::steady_clock::now();
  const int up = RunParallelChecks(agentPort, "http://127.0.0.1:" + std::to_string(nginxPort) + "/large.html");
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long after = StatusKb(agent.pid(), "VmHWM");
  std::printf("\n%d URL checks at once of a %zu MB page (phrase at its end), %d rounds, %.1f s\n", kParallelChecks,
              kLargePageBytes / (1024 * 1024), kParallelRounds, seconds);
  std::printf("agent peak resident memory: %.1f MB before, %.1f MB after\n", before / 1024.0, after / 1024.0);
  std::printf("up: %d of %d\n", up, kParallelChecks * kParallelRounds);
  return up == kParallelChecks * kParallelRounds ? 0 : 1;
}

// Runs check_http once; its exit status (0 OK), or -1 when it could not run.
int RunCheckHttp(int port) {
  return RunProgram(
      {kCheckHttp, "-H", "127.0.0.1", "-p", std::to_string(port), "-u", "/page", "-s", "bench ok", "-t", "5"});
}

}  // namespace

int main(int argc, char** argv) {
  const int checks = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  HttpPeer peer({{"/page", {.body = kPage}}});
  if (!peer.ok()) {
    std::fprintf(stderr, "bench_url_check: no HTTP server\n");
    return 1;
  }
  // The agent keeps each body in a file in its home folder: one of the benchmark's own.
  TempDir home("vorlane-bench-home");
  ::setenv("HOME", home.path().c_str(), 1);
  const int port = FreePort();
  Agent agent("telnet", port);
  if (!agent.Started()) {
    std::fprintf(stderr, "bench_url_check: the agent did not start:\n%s\n", agent.Log().c_str());
    return 1;
  }
  TelnetClient client(port, "monitor", "pw");
  if (!client.Login()) {
    std::fprintf(stderr, "bench_url_check: no login\n");
    return 1;
  }

  const std::string request = "#requestaction=runcheck#sessionid=" + client.SessionId() + "#checkid=URL#URL=" +
                              peer.Url("/page") +
                              "#Content check type=should contain#Words=exact phrase#Content to check for=bench ok#";
  const CheckTimes agentTimes = TimeAgentChecks(client, agent.pid(), request, checks);
  const CheckTimes pluginTimes = TimePluginRuns([&] { return RunCheckHttp(peer.port()); }, checks, kCheckHttp);
  const int compared = ReportComparison("URL check of one page on loopback (should contain \"bench ok\")",
                                        "agent runcheck URL", "check_http -s", agentTimes, pluginTimes);
  const int large = ReportLargePages(agent, port);
  return compared != 0 ? compared : large;
}
