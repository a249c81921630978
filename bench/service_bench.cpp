// Asking the service manager for the running services: one ServiceManager::Open plus
// ListActiveServices against a private bus with the fake manager serving a host-sized unit list
// (250 units, 60 services running), beside the same ListUnits call made by `busctl` as a program,
// and, where systemd runs, `systemctl list-units` against the real manager as a reference.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/service/service_manager.h"
#include "platform/service/tests/private_system_bus.h"

extern char** environ;

namespace {

using vorlane::platform::ServiceManager;
using vorlane::platform::ServiceStatus;
using vorlane::platform::testing::PrivateSystemBus;
using vorlane::platform::testing::ScopedEnv;

constexpr int kRunning = 60;

// 250 units in the mix a small server has: 130 services (60 running, 20 exited, 45 stopped,
// 5 failed) between sockets, timers, mounts, targets, slices and devices.
std::string HostUnits() {
  std::string units;
  const char* others[] = {"socket loaded active listening", "timer loaded active waiting",
                          "mount loaded active mounted",     "target loaded active active",
                          "slice loaded active active",      "device loaded active plugged"};
  for (int i = 0; i < 250; ++i) {
    const std::string n = std::to_string(i);
    if (i % 25 < 13) {
      const int service = (i / 25) * 13 + i % 25;  // 0..129
      if (service < kRunning) {
        units += "run" + n + ".service loaded active running\n";
      } else if (service < 80) {
        units += "oneshot" + n + ".service loaded active exited\n";
      } else if (service < 125) {
        units += "stopped" + n + ".service loaded inactive dead\n";
      } else {
        units += "broken" + n + ".service loaded failed failed\n";
      }
    } else {
      units += "unit" + n + "." + others[i % 6] + "\n";
    }
  }
  return units;
}

// One bus with the fake for the whole program; it ends with the program.
PrivateSystemBus* SharedBus() {
  static const std::unique_ptr<PrivateSystemBus> bus = [] {
    auto made = std::make_unique<PrivateSystemBus>();
    if (made->StartFakeManager(VORLANE_FAKE_SYSTEMD_BINARY)) made->WriteUnits(HostUnits());
    return made;
  }();
  return bus->Ready() ? bus.get() : nullptr;
}

// Runs a program with its output thrown away; its exit status, or -1 when it did not run.
int RunQuietly(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BM_ListActiveServices(benchmark::State& state) {
  PrivateSystemBus* bus = SharedBus();
  if (bus == nullptr) {
    state.SkipWithError("the private bus with the fake manager did not start");
    return;
  }
  ScopedEnv env("DBUS_SYSTEM_BUS_ADDRESS", bus->Address());
  for (auto _ : state) {
    vorlane::Result<ServiceManager> manager = ServiceManager::Open();
    if (!manager.ok()) {
      state.SkipWithError(manager.error().message.c_str());
      break;
    }
    vorlane::Result<std::vector<ServiceStatus>> services = manager.value().ListActiveServices();
    if (!services.ok()) {
      state.SkipWithError(services.error().message.c_str());
      break;
    }
    int running = 0;
    for (const ServiceStatus& service : services.value()) running += service.Running() ? 1 : 0;
    if (running != kRunning) {
      state.SkipWithError("wrong number of running services");
      break;
    }
    benchmark::DoNotOptimize(running);
  }
  state.counters["units"] = 250;
  state.counters["running"] = kRunning;
}
BENCHMARK(BM_ListActiveServices)->Repetitions(9)->ReportAggregatesOnly(true)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The same ListUnits call by busctl, started and waited for each time.
void BM_BusctlListUnits(benchmark::State& state) {
  PrivateSystemBus* bus = SharedBus();
  if (bus == nullptr) {
    state.SkipWithError("the private bus with the fake manager did not start");
    return;
  }
  for (auto _ : state) {
    const int status = RunQuietly({"busctl", "--address=" + bus->Address(), "call", "org.freedesktop.systemd1",
                                   "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager", "ListUnits"});
    if (status != 0) {
      state.SkipWithError(status < 0 ? "busctl could not be run" : "busctl failed");
      break;
    }
  }
}
BENCHMARK(BM_BusctlListUnits)->Repetitions(9)->ReportAggregatesOnly(true)->UseRealTime()->Unit(benchmark::kMicrosecond);

bool SystemdRuns() {
  std::error_code error;
  return std::filesystem::is_directory("/run/systemd/system", error);
}

// The running services of this host by systemctl, against the real manager (not the fake).
void BM_SystemctlListRunning(benchmark::State& state) {
  for (auto _ : state) {
    const int status = RunQuietly(
        {"systemctl", "list-units", "--type=service", "--state=running", "--no-pager", "--no-legend"});
    if (status != 0) {
      state.SkipWithError(status < 0 ? "systemctl could not be run" : "systemctl failed");
      break;
    }
  }
}

void SystemctlUnavailable(benchmark::State& state) {
  state.SkipWithError("systemctl is not available on this machine because systemd is not running");
  for (auto _ : state) {
  }
}

// Without systemd there is nothing for systemctl to ask; that is said once instead of per repetition.
[[maybe_unused]] const bool kSystemctlRegistered = [] {
  if (SystemdRuns()) {
    benchmark::RegisterBenchmark("BM_SystemctlListRunning", BM_SystemctlListRunning)
        ->Repetitions(9)
        ->ReportAggregatesOnly(true)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
  } else {
    benchmark::RegisterBenchmark("BM_SystemctlListRunning", SystemctlUnavailable)->Iterations(1);
  }
  return true;
}();

}  // namespace
