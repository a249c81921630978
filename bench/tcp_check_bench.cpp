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

#include "bench/bench_clients.h"
#include "bench/bench_processes.h"
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
  std::vector<double> agentTimes, reported;
  int agentUp = 0;
  const double agentCpuBefore = CpuSeconds(agent.pid());
  for (int i = 0; i < checks; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!client.RoundTrip(request, "@@RTO=") ) break;
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
    const int status = RunCheckTcp(server.port());
    if (status < 0) {
      std::fprintf(stderr, "bench_tcp_check: %s did not run (scripts/install-deps.sh --bench)\n", kCheckTcp);
      break;
    }
    pluginUp += status == 0 ? 1 : 0;
    pluginTimes.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  const double pluginCpu = ChildrenCpuSeconds() - pluginCpuBefore;

  std::printf("TCP dialogue check against a greeting server on loopback (expect \"220\")\n");
  PrintCheckTimes("agent runcheck TCP (round trip)", Summarize(agentTimes),
        agentTimes.empty() ? 0 : agentCpu * 1000 / agentTimes.size());
  PrintCheckTimes("agent runcheck TCP (its RTO)", Summarize(reported), 0);
  PrintCheckTimes("check_tcp -e 220 (run as program)", Summarize(pluginTimes),
        pluginTimes.empty() ? 0 : pluginCpu * 1000 / pluginTimes.size());
  std::printf("up: agent %d of %zu, check_tcp %d of %zu\n", agentUp, agentTimes.size(), pluginUp, pluginTimes.size());
  return agentUp == static_cast<int>(agentTimes.size()) && pluginUp == static_cast<int>(pluginTimes.size()) ? 0 : 1;
}
