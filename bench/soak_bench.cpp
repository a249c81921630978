// The real agent over a long run: many Telnet and SSH connect/login/agentinfo/logout cycles, and
// many agentinfo records pipelined on one connection whose answers are read only at the end.
// Prints the agent's resident memory (VmRSS), open descriptors and threads at the start, every
// 1000 cycles or records (every 100 SSH cycles, which are fewer) and at the end, whether everything
// was answered, and a verdict per run: flat when every figure after the first of those samples
// stays within 10 % of its value there.
//
//   bench_soak [telnet cycles=10000] [ssh cycles=1000] [pipelined records=10000]
#include <dirent.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_clients.h"
#include "bench/bench_processes.h"
#include "platform/termserver/tests/ssh_flood_client.h"

namespace {

using namespace vorlane::bench;
using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// What the agent logs when a logout removes a session: logout itself has no answer.
const std::string kSessionRemoved = "Remove sessionid = ";
constexpr long kSampleEvery = 1000;
constexpr long kSshSampleEvery = 100;
// No run may take longer than this, whatever the counts.
constexpr auto kRunLimit = std::chrono::minutes(20);
// A run stops early after this many failed cycles in a row (the agent is gone or stuck).
constexpr int kFailuresInARow = 20;

// What the agent holds at one moment.
struct Usage {
  long rssKb = 0;
  long fds = 0;
  long threads = 0;
};

long OpenDescriptors(pid_t pid) {
  DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return 0;
  long count = 0;
  for (dirent* entry = ::readdir(dir); entry != nullptr; entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

Usage UsageOf(pid_t pid) {
  const std::string status = "/proc/" + std::to_string(pid) + "/status";
  using vorlane::termserver::testing::StatusKb;
  // Threads is a plain count, read the same way as the kB fields.
  return {StatusKb(status, "VmRSS"), OpenDescriptors(pid), StatusKb(status, "Threads")};
}

// The samples of one run, printed as they come, and the verdict over them.
class UsageTable {
 public:
  UsageTable(const char* unit, pid_t pid) : unit_(unit), pid_(pid), start_(Clock::now()) {
    std::printf("  %-22s %9s %10s %6s %8s %9s\n", "at", unit_, "VmRSS kB", "fds", "threads", "elapsed s");
  }
  // `counted`: whether the verdict weighs it (a sample taken after the connection under test has
  // closed is compared with the start instead).
  Usage Sample(const std::string& label, long done, bool counted = true) {
    return Record(label, done, counted, UsageOf(pid_));
  }
  // A sample once the connections so far have closed: the agent lets go of a closed connection's
  // descriptor a moment after the client, so this waits (2 s at most) for the count to come back
  // down to `fdsAtRest` before it reads.
  Usage SampleAtRest(const std::string& label, long done, long fdsAtRest, bool counted = true) {
    WaitFor([&] { return OpenDescriptors(pid_) <= fdsAtRest; }, Millis(2000));
    return Sample(label, done, counted);
  }
  // Flat: every counted sample after the first one past the start within 10 % of it, for each
  // figure.
  bool PrintVerdict() const {
    const auto reference = std::find_if(samples_.begin(), samples_.end(),
                                        [](const Row& row) { return row.counted && row.done > 0; });
    const bool later = reference != samples_.end() &&
                       std::any_of(reference + 1, samples_.end(), [](const Row& row) { return row.counted; });
    if (!later) {
      std::printf("  verdict: none (too few %s for two samples after the start)\n", unit_);
      return true;
    }
    double rss = 0, fds = 0, threads = 0;  // the largest deviation seen, in percent
    for (auto row = reference; row != samples_.end(); ++row) {
      if (!row->counted) continue;
      rss = std::max(rss, Deviation(row->usage.rssKb, reference->usage.rssKb));
      fds = std::max(fds, Deviation(row->usage.fds, reference->usage.fds));
      threads = std::max(threads, Deviation(row->usage.threads, reference->usage.threads));
    }
    const bool flat = rss <= 10 && fds <= 10 && threads <= 10;
    std::printf("  verdict: %s (largest change from the value at %ld: VmRSS %.1f %%, fds %.1f %%, threads %.1f %%)\n",
                flat ? "flat" : "NOT flat", reference->done, rss, fds, threads);
    return flat;
  }

 private:
  struct Row {
    long done;
    bool counted;
    Usage usage;
  };
  static double Deviation(long value, long reference) {
    if (reference == 0) return value == 0 ? 0 : 100;
    return 100.0 * std::fabs(static_cast<double>(value - reference)) / static_cast<double>(reference);
  }
  Usage Record(const std::string& label, long done, bool counted, Usage usage) {
    samples_.push_back({done, counted, usage});
    std::printf("  %-22s %9ld %10ld %6ld %8ld %9.1f\n", label.c_str(), done, usage.rssKb, usage.fds, usage.threads,
                std::chrono::duration<double>(Clock::now() - start_).count());
    std::fflush(stdout);
    return usage;
  }

  const char* unit_;
  pid_t pid_;
  Clock::time_point start_;
  std::vector<Row> samples_;
};

// Waits (5 s at most) until the agent's log shows `expected` logouts since `before`; the count.
long LogoutsSeen(const Agent& agent, long before, long expected) {
  WaitFor([&] { return agent.Occurrences(kSessionRemoved) - before >= expected; }, Millis(5000));
  return agent.Occurrences(kSessionRemoved) - before;
}

// Runs `cycle()` (true: logged in, agentinfo answered, logout sent) `cycles` times on `agent`,
// sampling it every `every` cycles; prints the table, the answers and the verdict.
bool SoakCycles(const char* what, const Agent& agent, int cycles, long every, const std::function<bool()>& cycle) {
  std::printf("\n%s: %d connect/login/agentinfo/logout cycles, a new connection each\n", what, cycles);
  UsageTable table("cycles", agent.pid());
  const long logoutsBefore = agent.Occurrences(kSessionRemoved);
  // At rest: as at the start, and from the first checkpoint on as there (the agent opens a few
  // descriptors for good on its first connections).
  long fdsAtRest = table.Sample("start", 0).fds;
  const auto deadline = Clock::now() + kRunLimit;
  long done = 0, answered = 0;
  for (int inARow = 0; done < cycles && inARow < kFailuresInARow && Clock::now() < deadline;) {
    const bool ok = cycle();
    ++done;
    answered += ok ? 1 : 0;
    inARow = ok ? 0 : inARow + 1;
    if (done % every == 0 && done < cycles) {
      const long fds = table.SampleAtRest("after " + std::to_string(done), done, fdsAtRest).fds;
      if (done == every) fdsAtRest = fds;
    }
  }
  table.SampleAtRest("end", done, fdsAtRest);
  const long logouts = LogoutsSeen(agent, logoutsBefore, answered);
  const bool complete = done == cycles && answered == cycles && logouts == cycles;
  std::printf("  answered: %ld of %d cycles logged in and answered agentinfo; %ld logouts in the agent's log%s\n",
              answered, cycles, logouts, complete ? "" : " -- NOT every cycle answered");
  return table.PrintVerdict() && complete;
}

// Logs in once over Telnet and writes `records` agentinfo requests without reading, then reads
// every answer; samples the agent every kSampleEvery records written, after the answers and once
// the connection has closed.
bool SoakPipelined(const Agent& agent, int port, int records) {
  std::printf("\ntelnet: %d agentinfo records pipelined on one connection, the answers read at the end\n", records);
  UsageTable table("records", agent.pid());
  const Usage start = table.Sample("start", 0);
  long written = 0, answered = 0;
  {
    TelnetClient client(port, "monitor", "pw", kAgentLoginEnd, true);
    if (!client.Login()) {
      std::printf("  the login failed\n");
      return false;
    }
    const std::string request = AgentRequest("agentinfo", client.SessionId());
    const auto deadline = Clock::now() + kRunLimit;
    while (written < records && Clock::now() < deadline && client.SendLine(request)) {
      if (++written % kSampleEvery == 0 && written < records) table.Sample("written " + std::to_string(written), written);
    }
    table.Sample("all written", written);
    while (answered < written && client.Await(kAgentInfoEnd)) ++answered;
    table.Sample("all answers read", answered);
    (void)client.SendLine(AgentRequest("logout", client.SessionId()));
  }
  // The connection's own descriptor and thread go with it: compared with the start, not weighed
  // in the verdict over the open connection.
  const Usage closed = table.SampleAtRest("connection closed", answered, start.fds, false);
  const bool released = closed.fds <= start.fds && closed.threads <= start.threads;
  const bool complete = written == records && answered == records;
  std::printf("  answered: %ld written, %ld answers read of %d%s\n", written, answered, records,
              complete ? "" : " -- NOT every record answered");
  std::printf("  closed: %s (fds %ld, threads %ld; at the start %ld and %ld)\n",
              released ? "back to the start" : "NOT back to the start", closed.fds, closed.threads, start.fds,
              start.threads);
  return table.PrintVerdict() && complete && released;
}

int Count(int argc, char** argv, int index, int fallback) {
  return argc > index ? std::max(0, std::atoi(argv[index])) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  const int telnetCycles = Count(argc, argv, 1, 10000);
  const int sshCycles = Count(argc, argv, 2, 1000);
  const int pipelined = Count(argc, argv, 3, 10000);
  std::printf("soak benchmark: %ld cores, load average %s", ::sysconf(_SC_NPROCESSORS_ONLN),
              ReadText("/proc/loadavg").c_str());
  bool allFlat = true;

  const int telnetPort = FreePort();
  Agent telnet("Telnet", telnetPort);
  if (!telnet.Started()) {
    std::printf("the Telnet agent did not start:\n%s\n", telnet.Log().c_str());
    return 1;
  }
  if (telnetCycles > 0) {
    allFlat &= SoakCycles("telnet", telnet, telnetCycles, kSampleEvery, [&] {
      TelnetClient client(telnetPort, "monitor", "pw", kAgentLoginEnd, true);
      return client.Login() && !client.SessionId().empty() &&
             client.RoundTrip(AgentRequest("agentinfo", client.SessionId()), kAgentInfoEnd) &&
             client.SendLine(AgentRequest("logout", client.SessionId()));
    });
  }
  if (pipelined > 0) allFlat &= SoakPipelined(telnet, telnetPort, pipelined);

  if (sshCycles > 0) {
    const int sshPort = FreePort();
    Agent ssh("SSH", sshPort);
    if (!ssh.Started()) {
      std::printf("the SSH agent did not start:\n%s\n", ssh.Log().c_str());
      return 1;
    }
    // Every other client leaves the way a hurried monitoring server does: its channel closed
    // right after the logout, without an end of input; the logout must count all the same.
    bool hurried = false;
    allFlat &= SoakCycles("ssh", ssh, sshCycles, kSshSampleEvery, [&] {
      SshClient client(sshPort, "monitor", "pw", kAgentLoginEnd, true);
      hurried = !hurried;
      return client.Login() && !client.SessionId().empty() &&
             client.RoundTrip(AgentRequest("agentinfo", client.SessionId()), kAgentInfoEnd) &&
             client.SendLine(AgentRequest("logout", client.SessionId())) && (hurried || client.Finish());
    });
  }
  std::printf("\noverall: %s\n", allFlat ? "flat, everything answered" : "NOT flat or not everything answered");
  return allFlat ? 0 : 2;
}
