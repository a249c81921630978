// The real agent program for end-to-end tests: a configuration folder of its own, the program
// started in the foreground (/console) on it, its log collected, and a clean stop by SIGTERM.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "testing/temp_dir.h"

namespace vorlane::testkit {

// A port that was free a moment ago on 127.0.0.1.
int FreePort();

class AgentProcess {
 public:
  AgentProcess();
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  const std::filesystem::path& Dir() const { return dir_.Path(); }
  std::filesystem::path ConfigFile() const { return dir_ / "AgentConfig.INI"; }
  void WriteConfig(const std::string& text) { WriteFile(ConfigFile(), text); }
  // The agent's session clock stands still at a fixed time until moved forward.
  void AdvanceClock(long long seconds);

  // Runs `vorlane` with `args` and the test environment; true once it is running.
  bool Start(const std::vector<std::string>& args = {"/console"}, const std::vector<std::string>& extraEnv = {});
  // Waits until the log holds `text` (true), or the program ended or 20 s passed (false).
  bool WaitForLog(const std::string& text);
  // Ends the program with `signal` (SIGTERM, as the service manager stops it, unless told); its
  // exit status, or -1 when it had to be killed.
  int Stop(int signal = SIGTERM);
  // Sends `signal` to the running program without waiting for it.
  void Signal(int signal);
  // True once the program has ended (its status is then ExitStatus()).
  bool Exited();
  // Waits up to 20 s for the program to end by itself.
  int WaitExit();
  int ExitStatus() const { return exitStatus_; }
  std::string Log() const { return ReadFile(dir_ / "stderr"); }
  std::string Output() const { return ReadFile(dir_ / "stdout"); }

 private:
  TempDir dir_{"vorlane-agent"};
  pid_t pid_ = 0;
  int exitStatus_ = -1;
  long long clock_ = 1700000000;
};

}  // namespace vorlane::testkit
