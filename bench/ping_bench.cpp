// The ping component beside fping: the same host, answered by an echo responder after a fixed
// delay (and dropping some frames) inside a network namespace of the bench's own, pinged by a job
// of the component (created by class id, as the agent creates it) and by `fping -C`. Prints both
// mean round trips and loss counts and whether they agree (means within 1 ms, the same losses),
// then how many one-frame jobs the component runs per second to loopback. Needs root
// (namespaces, raw sockets); a plain program, run by hand:
//   bench_ping [frames] [delays in ms, each answered in full...]
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/check_bench.h"
#include "ping/sondrel.h"
#include "ping/tests/ping_namespace.h"
#include "platform/com/activation.h"
#include "platform/com/apartment.h"
#include "platform/com/bstr.h"

namespace {

using namespace vorlane;
using namespace std::chrono_literals;

struct Job {
  bool ok = false;
  int percent = 0;
  int averageMs = 0;
  double seconds = 0;
};

// One job of `frames` frames to `host` through a fresh collection and element.
Job ComponentPing(const std::string& host, int frames, int32_t maxTimeout) {
  Job job;
  com::ComPtr<ping::ItqCollPings> collection;
  if (com::Failed(com::CoCreateInstance(ping::kCollPingsClsid, &collection))) return job;
  com::ComPtr<ping::ItqPing> element;
  if (collection->Add(element.put()) != com::S_OK) return job;
  const auto start = std::chrono::steady_clock::now();
  const com::Bstr name = com::Bstr::FromUtf8(host);
  if (element->Ping(name.get(), 32, frames, maxTimeout, 0, com::VARIANT_FALSE, com::VARIANT_FALSE) != com::S_OK)
    return job;
  com::VARIANT_BOOL running = com::VARIANT_TRUE;
  for (int i = 0; i < 1000000 && running == com::VARIANT_TRUE; ++i) {
    (void)element->get_IsRunning(&running);
    if (running == com::VARIANT_TRUE) std::this_thread::sleep_for(100us);
  }
  job.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  int16_t percent = 0;
  int32_t average = 0;
  (void)element->get_SucceededPercent(&percent);
  (void)element->get_AverageRoundTrip(&average);
  job.ok = running == com::VARIANT_FALSE;
  job.percent = percent;
  job.averageMs = average;
  return job;
}

// What fping reports for `count` pings ("host : 5.12 5.10 - ..." on its standard error, "-"
// for a ping without an answer): the mean of the answered ones and how many went unanswered.
struct FpingResult {
  bool ok = false;
  double meanMs = 0;
  int lost = 0;
};

// The pings go out well apart, so that none waits behind the responder's delay of the last.
FpingResult Fping(const std::string& host, int count, int delayMs) {
  const std::string period = std::to_string(2 * delayMs + 20);
  auto result = ping::testing::RunCommand(
      {"fping", "-q", "-C", std::to_string(count), "-p", period, "-t", "1000", "-b", "32", host}, 120s);
  std::istringstream in(result.output);
  std::string line;
  FpingResult fping;
  double sum = 0;
  int answered = 0;
  while (std::getline(in, line)) {
    const size_t colon = line.find(" : ");
    if (colon == std::string::npos) continue;
    std::istringstream values(line.substr(colon + 3));
    std::string value;
    while (values >> value) {
      if (value == "-") {
        ++fping.lost;
        continue;
      }
      sum += std::strtod(value.c_str(), nullptr);
      ++answered;
    }
  }
  fping.ok = answered + fping.lost == count;
  if (!fping.ok) std::fprintf(stderr, "fping said: %s\n", result.output.c_str());
  fping.meanMs = answered > 0 ? sum / answered : 0;
  return fping;
}

// The whole check through the agent (runcheck PING over Telnet, one frame to loopback) beside
// fping run as a program for the same one frame.
int CompareWithAgent(int checks) {
  const int port = bench::FreePort();
  bench::Agent agent("telnet", port);
  if (!agent.Started()) {
    std::fprintf(stderr, "bench_ping: the agent did not start:\n%s\n", agent.Log().c_str());
    return 1;
  }
  bench::TelnetClient client(port, "monitor", "pw");
  if (!client.Login()) {
    std::fprintf(stderr, "bench_ping: no login\n");
    return 1;
  }
  const std::string request = "#requestaction=runcheck#sessionid=" + client.SessionId() +
                              "#checkid=PING#Hostname=127.0.0.1#Number of frames=1#Success rate=100#Timeout=1#TOS=0#"
                              "Check TOS-byte consistency=false#";
  const bench::CheckTimes agentTimes = bench::TimeAgentChecks(client, agent.pid(), request, checks);
  const bench::CheckTimes fpingTimes = bench::TimePluginRuns(
      [] { return bench::RunProgram({"/usr/bin/fping", "-q", "-c", "1", "-t", "1000", "127.0.0.1"}); }, checks, "fping");
  return bench::ReportComparison("Ping check of loopback, one frame", "agent runcheck PING", "fping -c 1", agentTimes,
                                 fpingTimes);
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::atoi(argv[1]) : 20;
  // Delay and answer pattern of the responder ('1' answers, '0' drops; cycling per request).
  struct Row {
    int delayMs;
    std::string pattern;
  };
  std::vector<Row> rows;
  for (int i = 2; i < argc; ++i) rows.push_back({std::atoi(argv[i]), "1"});
  if (rows.empty()) rows = {{0, "1"}, {5, "1"}, {20, "1"}, {50, "1"}, {5, "1110"}, {20, "10"}};

  const std::string network = ping::testing::EnterPrivateNetwork();
  if (!network.empty()) {
    std::fprintf(stderr, "bench_ping: %s (run as root)\n", network.c_str());
    return 1;
  }
  if (com::Failed(com::CoInitialize(nullptr))) return 1;

  std::printf("%-8s %-8s %6s | %12s %10s | %12s %10s | %8s %s\n", "delay ms", "pattern", "frames", "ours mean ms",
              "ours lost", "fping mean", "fping lost", "diff ms", "agree");
  bool allAgree = true;
  for (const Row& row : rows) {
    ping::testing::PingNamespace ns;
    const std::vector<std::string> responder = {"--delay-ms", std::to_string(row.delayMs), "--answer-pattern",
                                                row.pattern};
    if (!ns.ok() || !ns.StartResponder(VORLANE_ICMP_RESPONDER, responder)) {
      std::fprintf(stderr, "bench_ping: namespace: %s\n", ns.error().c_str());
      return 1;
    }
    const Job job = ComponentPing(ns.remoteAddress(), frames, 1000 * frames);
    // A fresh responder, so that fping meets the pattern from its start as the job did.
    if (!ns.StartResponder(VORLANE_ICMP_RESPONDER, responder)) return 1;
    const FpingResult fping = Fping(ns.remoteAddress(), frames, row.delayMs);
    if (!job.ok || !fping.ok) {
      std::fprintf(stderr, "bench_ping: a run failed\n");
      return 1;
    }
    const int ourLost = frames - job.percent * frames / 100;
    const double diff = job.averageMs - fping.meanMs;
    const bool agree = std::fabs(diff) <= 1.0 && ourLost == fping.lost;
    allAgree = allAgree && agree;
    std::printf("%-8d %-8s %6d | %12d %10d | %12.3f %10d | %8.3f %s\n", row.delayMs, row.pattern.c_str(), frames,
                job.averageMs, ourLost, fping.meanMs, fping.lost, diff, agree ? "yes" : "NO");
  }

  // Whole jobs of one frame each to loopback: creation, start, worker thread, reply, end.
  constexpr int kJobs = 200;
  const auto start = std::chrono::steady_clock::now();
  int failed = 0;
  for (int i = 0; i < kJobs; ++i) {
    const Job job = ComponentPing("127.0.0.1", 1, 1000);
    if (!job.ok || job.percent != 100) ++failed;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("one-frame jobs to loopback: %.0f per second (%.1f us each, %d failed)\n", kJobs / seconds,
              seconds / kJobs * 1e6, failed);
  com::CoUninitialize();
  const int agentCompared = CompareWithAgent(kJobs);
  return allAgree && failed == 0 && agentCompared == 0 ? 0 : 2;
}
