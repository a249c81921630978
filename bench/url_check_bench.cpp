// The agent's URL check beside monitoring-plugins' `check_http`: the same page on the tests' own
// HTTP server on loopback, checked `checks` times by runcheck URL over Telnet (the page should
// contain "bench ok") and by check_http run as a program with the same expectation (-s). Prints,
// for each, the median and 99th percentile of the time a check takes (for the agent: as the
// monitoring server waits for its answer, and the response time it reports) and the CPU time it
// costs (the agent process's, or check_http's own as its parent reaps it).
// Needs `scripts/install-deps.sh --bench` for check_http; a plain program, run by hand:
//   bench_url_check [checks]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_clients.h"
#include "bench/bench_processes.h"
#include "testing/http_peer.h"

namespace {

using namespace vorlane::bench;
using vorlane::testkit::HttpPeer;

constexpr char kCheckHttp[] = "/usr/lib/nagios/plugins/check_http";
constexpr char kPage[] = "<html><body><h1>Status</h1><p>bench ok</p></body></html>";

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
  std::vector<double> agentTimes, reported;
  int agentUp = 0;
  const double agentCpuBefore = CpuSeconds(agent.pid());
  for (int i = 0; i < checks; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!client.RoundTrip(request, "@@RTO=")) break;
    agentUp += client.LastRead().find("result=up") != std::string::npos ? 1 : 0;
    if (!client.Await("#")) break;
    agentTimes.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    reported.push_back(std::atof(client.LastRead().c_str()) * 1000);
  }
  const double agentCpu = CpuSeconds(agent.pid()) - agentCpuBefore;

  std::vector<double> pluginTimes;
  int pluginUp = 0;
  const double pluginCpuBefore = ChildrenCpuSeconds();
  for (int i = 0; i < checks; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const int status = RunCheckHttp(peer.port());
    if (status < 0) {
      std::fprintf(stderr, "bench_url_check: %s did not run (scripts/install-deps.sh --bench)\n", kCheckHttp);
      break;
    }
    pluginUp += status == 0 ? 1 : 0;
    pluginTimes.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  const double pluginCpu = ChildrenCpuSeconds() - pluginCpuBefore;

  std::printf("URL check of one page on loopback (should contain \"bench ok\")\n");
  PrintCheckTimes("agent runcheck URL (round trip)", Summarize(agentTimes),
                  agentTimes.empty() ? 0 : agentCpu * 1000 / agentTimes.size());
  PrintCheckTimes("agent runcheck URL (its RTO)", Summarize(reported), 0);
  PrintCheckTimes("check_http -s (run as program)", Summarize(pluginTimes),
                  pluginTimes.empty() ? 0 : pluginCpu * 1000 / pluginTimes.size());
  std::printf("up: agent %d of %zu, check_http %d of %zu\n", agentUp, agentTimes.size(), pluginUp,
              pluginTimes.size());
  return agentUp == static_cast<int>(agentTimes.size()) && pluginUp == static_cast<int>(pluginTimes.size()) ? 0 : 1;
}
