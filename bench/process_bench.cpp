// Counting the processes of one name over the whole process table, beside the same count done
// by `pgrep -c NAME` as a separate program. The bench starts a few sleeping processes of its own
// under a name no other program has, and ends them (by pid) when each benchmark is done.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/process/process_table.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kSleepers = 3;
constexpr const char* kPgrep = "/usr/bin/pgrep";

pid_t Spawn(const char* program, std::vector<std::string> args, bool quiet) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quiet) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = -1;
  if (::posix_spawn(&pid, program, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int Reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

// A few sleeping processes named `name` (a link to the sleep program in a temp folder), ended
// and reaped on destruction. The sleep is bounded so they outlive a killed bench by 60 s at most.
class Sleepers {
 public:
  explicit Sleepers(const std::string& name) {
    char folder[] = "/tmp/vlzq_process_bench_XXXXXX";
    if (::mkdtemp(folder) == nullptr) return;
    folder_ = folder;
    const fs::path link = folder_ / name;
    std::error_code error;
    fs::create_symlink("/bin/sleep", link, error);
    if (error) return;
    for (int i = 0; i < kSleepers; ++i) {
      const pid_t pid = Spawn(link.c_str(), {link.string(), "60"}, false);
      if (pid > 0) pids_.push_back(pid);
    }
  }
  ~Sleepers() {
    for (pid_t pid : pids_) {
      ::kill(pid, SIGKILL);
      Reap(pid);
    }
    std::error_code ignored;
    if (!folder_.empty()) fs::remove_all(folder_, ignored);
  }
  Sleepers(const Sleepers&) = delete;
  Sleepers& operator=(const Sleepers&) = delete;

  // Waits (at most 5 s) until the table shows all of them.
  bool Ready(const std::string& name) const {
    if (static_cast<int>(pids_.size()) != kSleepers) return false;
    for (int round = 0; round < 500; ++round) {
      if (vorlane::platform::CountProcessInstances("", name).count == kSleepers) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

 private:
  fs::path folder_;
  std::vector<pid_t> pids_;
};

int ProcessCountOfHost() {
  int processes = 0;
  vorlane::platform::ForEachProcessInstance("", [&](std::string_view) { ++processes; });
  return processes - 1;  // less "_Total"
}

void CountByName(benchmark::State& state, const std::string& name) {
  Sleepers sleepers(name);
  if (!sleepers.Ready(name)) {
    state.SkipWithError("the bench's own processes did not show up");
    return;
  }
  for (auto _ : state) {
    const vorlane::platform::ProcessCount count = vorlane::platform::CountProcessInstances("", name);
    if (count.count != kSleepers) {
      state.SkipWithError("wrong count");
      break;
    }
    benchmark::DoNotOptimize(count);
  }
  state.counters["processes"] = ProcessCountOfHost();
}

// A short name: one read of <pid>/comm per process.
void BM_CountProcessInstances(benchmark::State& state) { CountByName(state, "vlzqb" + std::to_string(::getpid())); }
BENCHMARK(BM_CountProcessInstances)->Repetitions(9)->ReportAggregatesOnly(true)->UseRealTime()->Unit(benchmark::kMicrosecond);

// A name past the kernel's 15 characters: the bench's own processes also need their cmdline.
void BM_CountProcessInstancesLongName(benchmark::State& state) {
  CountByName(state, "vlzq_process_bench_long_" + std::to_string(::getpid()));
}
BENCHMARK(BM_CountProcessInstancesLongName)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// The same count by pgrep, started and waited for each time.
void BM_PgrepCount(benchmark::State& state) {
  if (::access(kPgrep, X_OK) != 0) {
    state.SkipWithError("no /usr/bin/pgrep (package procps)");
    return;
  }
  const std::string name = "vlzqb" + std::to_string(::getpid());
  Sleepers sleepers(name);
  if (!sleepers.Ready(name)) {
    state.SkipWithError("the bench's own processes did not show up");
    return;
  }
  for (auto _ : state) {
    const pid_t pid = Spawn(kPgrep, {"pgrep", "-c", name}, true);
    if (pid <= 0) {
      state.SkipWithError("pgrep could not be started");
      break;
    }
    const int status = Reap(pid);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("pgrep found nothing");
      break;
    }
  }
  state.counters["processes"] = ProcessCountOfHost();
}
BENCHMARK(BM_PgrepCount)->Repetitions(9)->ReportAggregatesOnly(true)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
