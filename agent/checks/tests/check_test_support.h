// Test doubles and helpers for the checks: a connector that records what it was asked, and
// processes the test starts under a name of its own.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "agent/checks/check_host.h"
#include "agent/checks/remote_host.h"
#include "platform/process/process_table.h"
#include "agent/request/tests/request_test_support.h"
#include "testing/poll_until.h"
#include "testing/temp_dir.h"

extern char** environ;

namespace vorlane::agent::testing {

// A host whose answers the test gives; a query without an answer fails.
class FakeCheckHost : public CheckHost {
 public:
  std::function<std::optional<VolumeSpace>(const std::string& path)> volume;

  Result<std::vector<platform::ServiceStatus>> ListActiveServices() override {
    return Error{ENOENT, "no services in this fake"};
  }
  Result<platform::ServiceStatus> QueryService(std::string_view /*name*/) override {
    return Error{ENOENT, "no services in this fake"};
  }
  uint32_t ForEachProcessInstance(const std::function<void(std::string_view name)>& /*visit*/) override {
    return platform::kPdhNoObject;
  }
  std::optional<VolumeSpace> QueryVolumeSpace(const std::string& path) override {
    return volume ? volume(path) : std::nullopt;
  }
};

// Records every call, in order, as "add <name> <user|-> <password|->" and "cancel <name>".
// Answers every connection with `result`; the connected host is `host` when the test gives one.
class RecordingConnector : public RemoteConnector {
 public:
  uint32_t result = kNetSuccess;
  std::vector<std::string> calls;
  CheckHost* host = nullptr;

  CheckHost& ConnectedHost(const std::string& remoteName) override {
    return host != nullptr ? *host : RemoteConnector::ConnectedHost(remoteName);
  }

  uint32_t AddConnection(const std::string& remoteName, const std::optional<std::string>& user,
                         const std::optional<std::string>& password) override {
    calls.push_back("add " + remoteName + " " + user.value_or("-") + " " + password.value_or("-"));
    return result;
  }
  void CancelConnection(const std::string& remoteName) override { calls.push_back("cancel " + remoteName); }
};

// A connection whose answers also go into a connector's call log as "sent", so that a test can
// see whether a connection was cancelled before or after the answer.
class OrderedUserHandle : public FakeUserHandle {
 public:
  explicit OrderedUserHandle(RecordingConnector& connector) : connector_(connector) {}
  void Send(const std::string& text, int32_t serviceIndex) override {
    FakeUserHandle::Send(text, serviceIndex);
    connector_.calls.push_back("sent");
  }

 private:
  RecordingConnector& connector_;
};

// Processes that sleep under a name of the test's choosing: each runs a symbolic link of that
// name to sleep(1), and the kernel names a process after the file it was started from. They are
// killed and reaped when the object goes (or by Stop).
class NamedProcesses {
 public:
  NamedProcesses(const std::string& name, int count) {
    if (dir_.Path().empty()) return;
    const std::filesystem::path link = dir_ / name;
    std::error_code error;
    std::filesystem::create_symlink(SleepProgram(), link, error);
    if (error) return;
    for (int i = 0; i < count; ++i) {
      std::string program = link.string();
      std::string seconds = "120";
      char* argv[] = {program.data(), seconds.data(), nullptr};
      pid_t pid = 0;
      if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) == 0) pids_.push_back(pid);
    }
    // posix_spawn may return while the kernel is still in the middle of the exec, before the
    // child carries its new name; wait (bounded) until every child does.
    const std::string comm = name.substr(0, 15) + "\n";
    for (const pid_t pid : pids_) {
      testkit::PollUntil([&] { return ReadComm(pid) == comm; }, std::chrono::seconds(5), std::chrono::milliseconds(1));
    }
  }
  NamedProcesses(const NamedProcesses&) = delete;
  NamedProcesses& operator=(const NamedProcesses&) = delete;
  ~NamedProcesses() {
    while (!pids_.empty()) StopOne();
  }

  size_t Running() const { return pids_.size(); }

  // Kills and reaps the newest process.
  void StopOne() {
    const pid_t pid = pids_.back();
    pids_.pop_back();
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
  }

  static std::string ReadComm(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string text;
    std::getline(in, text);
    return in ? text + "\n" : std::string();
  }

  static std::filesystem::path SleepProgram() {
    for (const char* candidate : {"/usr/bin/sleep", "/bin/sleep"}) {
      if (::access(candidate, X_OK) == 0) return candidate;
    }
    return "/bin/sleep";
  }

 private:
  testkit::TempDir dir_{"vorlane-procs"};
  std::vector<pid_t> pids_;
};

}  // namespace vorlane::agent::testing
