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

#include "bench/check_bench.h"
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
  const CheckTimes agentTimes = TimeAgentChecks(client, agent.pid(), request, checks);
  const CheckTimes pluginTimes = TimePluginRuns([&] { return RunCheckHttp(peer.port()); }, checks, kCheckHttp);
  return ReportComparison("URL check of one page on loopback (should contain \"bench ok\")", "agent runcheck URL",
                          "check_http -s", agentTimes, pluginTimes);
}
