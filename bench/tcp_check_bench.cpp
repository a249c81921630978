// The agent's TCP check beside monitoring-plugins' `check_tcp -e`: the same greeting server on
// loopback ("220 bench ready"), checked `checks` times by runcheck TCP over Telnet (a dialogue
// that expects "220" in the greeting) and by check_tcp run as a program with the same
// expectation. Prints, for each, the median and 99th percentile of the time a check takes (for
// the agent: as the monitoring server waits for its answer, and the response time it reports)
// and the CPU time it costs (the agent process's, or check_tcp's own as its parent reaps it).
// Needs `scripts/install-deps.sh --bench` for check_tcp; a plain program, run by hand:
//   bench_tcp_check [checks]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench/check_bench.h"
#include "testing/peer_server.h"

namespace {

using namespace vorlane::bench;
using namespace std::chrono_literals;
using vorlane::testkit::PeerConnection;
using vorlane::testkit::PeerServer;

constexpr char kCheckTcp[] = "/usr/lib/nagios/plugins/check_tcp";

// Runs check_tcp once; its exit status (0 OK), or -1 when it could not run.
int RunCheckTcp(int port) {
  return RunProgram({kCheckTcp, "-H", "127.0.0.1", "-p", std::to_string(port), "-e", "220", "-t", "5"});
}

}  // namespace

int main(int argc, char** argv) {
  const int checks = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  PeerServer server([](PeerConnection& connection) {
    connection.Send("220 bench ready\r\n");
    connection.WaitForClientClose(5s);
  });
  if (!server.ok()) {
    std::fprintf(stderr, "bench_tcp_check: no greeting server\n");
    return 1;
  }
  const int port = FreePort();
  Agent agent("telnet", port);
  if (!agent.Started()) {
    std::fprintf(stderr, "bench_tcp_check: the agent did not start:\n%s\n", agent.Log().c_str());
    return 1;
  }
  std::ofstream(agent.Dir() / "TCPConfig.INI") << "[SMTP]\nDPORT=" << server.port() << "\nPROC=220\nPROCC=2\n";
  TelnetClient client(port, "monitor", "pw");
  if (!client.Login()) {
    std::fprintf(stderr, "bench_tcp_check: no login\n");
    return 1;
  }

  const std::string request = "#requestaction=runcheck#sessionid=" + client.SessionId() +
                              "#checkid=TCP#Hostname=127.0.0.1#Protocol=SMTP:25#Port=0#Timeout (sec.)=5#";
  const CheckTimes agentTimes = TimeAgentChecks(client, agent.pid(), request, checks);
  const CheckTimes pluginTimes = TimePluginRuns([&] { return RunCheckTcp(server.port()); }, checks, kCheckTcp);
  return ReportComparison("TCP dialogue check against a greeting server on loopback (expect \"220\")",
                          "agent runcheck TCP", "check_tcp -e 220", agentTimes, pluginTimes);
}
