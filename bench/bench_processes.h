// Programs the load benchmarks start and measure: a child process stopped by its pid, the real
// agent on a configuration of its own, free loopback ports, the CPU time of a process or of a
// tree of processes from /proc, and the summary of a set of latencies.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cipher/password.h"

extern char** environ;

namespace vorlane::bench {

// A loopback port nobody listens on: one the kernel picks, or with `below` one under it (for
// programs that take no port in the kernel's ephemeral range).
inline int FreePort(int below = 0) {
  const int first = below > 20000 ? 20000 + static_cast<int>(::getpid() % (below - 20000)) : 0;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (first > 0) address.sin_port = htons(static_cast<uint16_t>(20000 + (first - 20000 + attempt) % (below - 20000)));
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    if (bound) return ntohs(address.sin_port);
  }
  return 0;
}

// A folder under /tmp, removed with everything in it.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A program run with `extraEnv` added to ours, its standard output and error in `logFile`.
// Stopped with SIGTERM (SIGKILL when it has not ended 10 s later) and reaped.
class ChildProcess {
 public:
  ChildProcess(std::vector<std::string> argv, const std::filesystem::path& logFile,
               std::vector<std::string> extraEnv = {}) {
    std::vector<char*> envp;
    for (auto& entry : extraEnv) envp.push_back(entry.data());
    for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
    envp.push_back(nullptr);
    std::vector<char*> args;
    for (auto& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~ChildProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 1000; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  pid_t pid() const { return pid_; }
  // False once it has ended (it is reaped then, and stays so).
  bool Running() {
    if (pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = 0;
    return pid_ > 0;
  }

 private:
  pid_t pid_ = 0;
};

inline std::string ReadText(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Waits, bounded by `limit`, until `done()` holds.
template <class Done>
bool WaitFor(Done done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (int i = 0; i < 100000; ++i) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

// One agent process (`vorlane /console`) on a folder of its own, logged in as "monitor" with
// password "pw"; `general` adds lines to its [GeneralInfo] section.
class Agent {
 public:
  Agent(const std::string& protocol, int port, const std::string& general = "")
      : dir_("vorlane-bench-agent"), process_(Start(protocol, port, general)) {
    WaitFor([this] { return Started() || !process_.Running(); }, std::chrono::seconds(10));
  }
  bool Started() const { return Log().find("Server started!") != std::string::npos; }
  std::string Log() const { return ReadText(dir_.path() / "log"); }
  // The requests the agent has run: it logs one line for each as it takes it.
  long RequestsRun() const { return Occurrences("Received from "); }
  long Occurrences(const std::string& needle) const {
    const std::string log = Log();
    long count = 0;
    for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + needle.size())) ++count;
    return count;
  }
  long LogBytes() const {
    std::error_code error;
    return static_cast<long>(std::filesystem::file_size(dir_.path() / "log", error));
  }
  pid_t pid() const { return process_.pid(); }
  // Its configuration folder, where it also reads the protocol table.
  const std::filesystem::path& Dir() const { return dir_.path(); }

 private:
  ChildProcess Start(const std::string& protocol, int port, const std::string& general) {
    std::ofstream(dir_.path() / "AgentConfig.INI")
        << "[GeneralInfo]\nProtocol=" << protocol << "\nPort=" << port << "\nBindIP=127.0.0.1\n"
        << general << "[Operators]\nUserName=monitor\nPassword=" << vorlane::cipher::EncipherPassword("pw") << "\n";
    return ChildProcess({VORLANE_AGENT_BINARY, "/console"}, dir_.path() / "log",
                        {"VORLANE_CONFIG_DIR=" + dir_.path().string()});
  }

  TempDir dir_;
  ChildProcess process_;
};

// CPU time from /proc/<pid>/stat, in seconds: user + system, and with `reaped` also the time of
// the children it has waited for.
inline double CpuSeconds(pid_t pid, bool reaped = false) {
  const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::vector<std::string> values;
  for (std::string field; values.size() < 15 && fields >> field;) values.push_back(field);
  if (values.size() < 15) return 0;
  // After the name: state(0) ppid(1) ... utime(11) stime(12) cutime(13) cstime(14).
  double ticks = std::stod(values[11]) + std::stod(values[12]);
  if (reaped) ticks += std::stod(values[13]) + std::stod(values[14]);
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The processes whose parent chain leads to `root` (without it).
inline std::vector<pid_t> Descendants(pid_t root) {
  std::map<pid_t, pid_t> parents;
  if (DIR* proc = ::opendir("/proc")) {
    for (dirent* entry = ::readdir(proc); entry != nullptr; entry = ::readdir(proc)) {
      const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
      if (pid <= 0) continue;
      const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
      const size_t close = stat.rfind(')');
      if (close == std::string::npos) continue;
      std::istringstream fields(stat.substr(close + 2));
      std::string state;
      pid_t parent = 0;
      fields >> state >> parent;
      parents[pid] = parent;
    }
    ::closedir(proc);
  }
  std::vector<pid_t> found;
  for (const auto& [pid, parent] : parents) {
    pid_t up = parent;
    for (int depth = 0; depth < 64 && up > 1 && up != root; ++depth) up = parents.count(up) ? parents[up] : 0;
    if (up == root) found.push_back(pid);
  }
  return found;
}

// User + system time of `root` and of every process below it.
inline double TreeCpuSeconds(pid_t root) {
  double total = CpuSeconds(root);
  for (pid_t pid : Descendants(root)) total += CpuSeconds(pid);
  return total;
}

// CPU time of the children this process has reaped, user + system, in seconds.
inline double ChildrenCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Runs `args` (the program first) with its output discarded and waits for it: its exit status,
// or -1 when it could not run or did not exit.
inline int RunProgram(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Latencies in microseconds, summarised.
struct Latencies {
  size_t count = 0;
  double median = 0, p99 = 0, worst = 0;
};

inline Latencies Summarize(std::vector<double> micros) {
  Latencies summary;
  if (micros.empty()) return summary;
  std::sort(micros.begin(), micros.end());
  summary.count = micros.size();
  summary.median = micros[micros.size() / 2];
  summary.p99 = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  summary.worst = micros.back();
  return summary;
}

// One line of a check benchmark: how many checks, their median and 99th percentile time, and the
// CPU time one check costs.
inline void PrintCheckTimes(const char* what, const Latencies& time, double cpuMsPerCheck) {
  std::printf("%-34s %6zu checks  median %8.2f ms  p99 %8.2f ms  cpu %6.3f ms/check\n", what, time.count,
              time.median / 1000, time.p99 / 1000, cpuMsPerCheck);
}

}  // namespace vorlane::bench
