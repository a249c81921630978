// What the check benchmarks share: a runcheck sent over and over to the agent, a monitoring
// plugin run over and over as a program, each timed, and the comparison printed side by side.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_clients.h"
#include "bench/bench_processes.h"

namespace vorlane::bench {

struct CheckTimes {
  std::vector<double> times;     // microseconds, as the asking side waits
  std::vector<double> reported;  // microseconds: the response time the agent's answers report
  int up = 0;
  double cpuSeconds = 0;
};

// Sends `request` `checks` times over `client`, each timed until its answer has ended; the CPU
// time is the agent process's.
inline CheckTimes TimeAgentChecks(TelnetClient& client, pid_t agent, const std::string& request, int checks) {
  CheckTimes result;
  const double cpuBefore = CpuSeconds(agent);
  for (int i = 0; i < checks; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!client.RoundTrip(request, "@@RTO=")) break;
    result.up += client.LastRead().find("result=up") != std::string::npos ? 1 : 0;
    if (!client.Await("#")) break;
    result.times.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    result.reported.push_back(std::atof(client.LastRead().c_str()) * 1000);
  }
  result.cpuSeconds = CpuSeconds(agent) - cpuBefore;
  return result;
}

// Runs a plugin `checks` times through `run` (its exit status, 0 for OK, -1 when it could not
// run); the CPU time is the plugin's own, as this process reaps it.
inline CheckTimes TimePluginRuns(const std::function<int()>& run, int checks, const char* program) {
  CheckTimes result;
  const double cpuBefore = ChildrenCpuSeconds();
  for (int i = 0; i < checks; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const int status = run();
    if (status < 0) {
      std::fprintf(stderr, "%s did not run (scripts/install-deps.sh --bench)\n", program);
      break;
    }
    result.up += status == 0 ? 1 : 0;
    result.times.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  result.cpuSeconds = ChildrenCpuSeconds() - cpuBefore;
  return result;
}

inline double CpuMsPerCheck(const CheckTimes& times) {
  return times.times.empty() ? 0 : times.cpuSeconds * 1000 / static_cast<double>(times.times.size());
}

// Prints both sides; 0 when every check of both was up.
inline int ReportComparison(const char* title, const std::string& agentName, const std::string& pluginName,
                            const CheckTimes& agent, const CheckTimes& plugin) {
  std::printf("%s\n", title);
  PrintCheckTimes((agentName + " (round trip)").c_str(), Summarize(agent.times), CpuMsPerCheck(agent));
  PrintCheckTimes((agentName + " (its RTO)").c_str(), Summarize(agent.reported), 0);
  PrintCheckTimes((pluginName + " (run as program)").c_str(), Summarize(plugin.times), CpuMsPerCheck(plugin));
  std::printf("up: agent %d of %zu, %s %d of %zu\n", agent.up, agent.times.size(), pluginName.c_str(), plugin.up,
              plugin.times.size());
  return agent.up == static_cast<int>(agent.times.size()) && plugin.up == static_cast<int>(plugin.times.size()) ? 0
                                                                                                               : 1;
}

}  // namespace vorlane::bench
