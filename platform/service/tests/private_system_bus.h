// A private D-Bus for tests that need a service manager: a dbus-daemon of its own, listening on
// a unix socket in a temp folder, and on request the fake manager (vorlane-fake-systemd) on it,
// serving the units of a file that the test writes.
//
// Usage:
//   vorlane::platform::testing::PrivateSystemBus bus;
//   bus.StartFakeManager(VORLANE_FAKE_SYSTEMD_BINARY);
//   ASSERT_TRUE(bus.Ready());
//   bus.WriteUnits("ssh.service loaded active running\n");
//   vorlane::platform::testing::ScopedEnv env("DBUS_SYSTEM_BUS_ADDRESS", bus.Address());
//
// A test target gets VORLANE_FAKE_SYSTEMD_BINARY (and the build order) from the CMake function
// vorlane_use_fake_systemd(<target>) of platform/service/CMakeLists.txt; it exists when the
// tests are built.
//
// Everything started here is ended by pid in the destructor (SIGTERM, then SIGKILL after a
// bounded wait); every wait is bounded. The fake also ends itself when the test process dies.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "testing/poll_until.h"
#include "testing/scoped_env.h"
#include "testing/temp_dir.h"

extern char** environ;

namespace vorlane::platform::testing {

using testkit::ScopedEnv;

class PrivateSystemBus {
 public:
  static constexpr std::chrono::milliseconds kStartTimeout{10000};
  static constexpr std::chrono::milliseconds kStopTimeout{5000};

  // Starts the bus; BusReady() tells whether that worked and Problem() why not.
  PrivateSystemBus() {
    namespace fs = std::filesystem;
    if (folder_.Path().empty()) {
      problem_ = "no temporary folder";
      return;
    }
    const fs::path config = folder_ / "bus.conf";
    {
      std::ofstream out(config);
      out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
             " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
             "<busconfig>\n"
             "  <type>session</type>\n"
             "  <listen>unix:path="
          << (folder_ / "bus").string()
          << "</listen>\n"
             "  <auth>EXTERNAL</auth>\n"
             "  <policy context=\"default\">\n"
             "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
             "    <allow eavesdrop=\"true\"/>\n"
             "    <allow own=\"*\"/>\n"
             "  </policy>\n"
             "</busconfig>\n";
      if (!out) {
        problem_ = "cannot write " + config.string();
        return;
      }
    }
    if (!WriteUnits("")) return;
    // The daemon's own complaints (it cannot raise its fd limit unprivileged, say) go to a log
    // in the folder rather than into the test output; Problem() quotes it when the start fails.
    const fs::path log = folder_ / "dbus-daemon.log";
    busPid_ = Spawn("dbus-daemon",
                    {"dbus-daemon", "--config-file=" + config.string(), "--nofork", "--nosyslog", "--print-address=1"},
                    busOut_, log.c_str());
    if (busPid_ <= 0) return;
    std::optional<std::string> line = ReadLine(busOut_, kStartTimeout);
    if (!line || line->empty()) {
      problem_ = "dbus-daemon gave no address within " + std::to_string(kStartTimeout.count()) +
                 " ms: " + testkit::ReadFile(log);
      return;
    }
    address_ = *line;
  }

  ~PrivateSystemBus() {
    StopFakeManager();
    Stop(busPid_, busOut_);
  }

  PrivateSystemBus(const PrivateSystemBus&) = delete;
  PrivateSystemBus& operator=(const PrivateSystemBus&) = delete;

  // Starts the fake manager on the bus and waits until it owns its name. False (and Problem()
  // says why) when the bus is not there or the fake did not come up in time.
  bool StartFakeManager(const std::string& binary) {
    if (!BusReady()) return false;
    if (fakePid_ > 0) return true;
    fakePid_ = Spawn(binary.c_str(), {binary, address_, UnitsPath().string()}, fakeOut_);
    if (fakePid_ <= 0) return false;
    std::optional<std::string> line = ReadLine(fakeOut_, kStartTimeout);
    if (!line || *line != "ready") {
      problem_ = "the fake manager did not get ready within " + std::to_string(kStartTimeout.count()) + " ms";
      Stop(fakePid_, fakeOut_);
      return false;
    }
    fakeReady_ = true;
    return true;
  }

  // Ends the fake manager (the bus stays): the manager's name is gone from the bus afterwards.
  void StopFakeManager() {
    Stop(fakePid_, fakeOut_);
    fakeReady_ = false;
  }

  // Replaces the units the fake serves (format: see fake_systemd.cpp). Written to a temp file
  // and renamed, so the fake never reads half a file.
  bool WriteUnits(const std::string& text) {
    if (folder_.Path().empty()) return false;
    const std::filesystem::path temp = folder_ / "units.new";
    if (!testkit::WriteFile(temp, text)) {
      problem_ = "cannot write " + temp.string();
      return false;
    }
    if (::rename(temp.c_str(), UnitsPath().c_str()) != 0) {
      problem_ = "cannot rename " + temp.string() + ": " + std::strerror(errno);
      return false;
    }
    return true;
  }

  // Takes the units file away, so that the fake answers every call with an error.
  bool RemoveUnits() {
    std::error_code error;
    return std::filesystem::remove(UnitsPath(), error);
  }

  // The bus address as dbus-daemon gave it (for DBUS_SYSTEM_BUS_ADDRESS).
  const std::string& Address() const { return address_; }
  bool BusReady() const { return !address_.empty(); }
  // The bus and the fake manager both run.
  bool Ready() const { return BusReady() && fakeReady_; }
  const std::string& Problem() const { return problem_; }
  const std::filesystem::path& Folder() const { return folder_.Path(); }
  std::filesystem::path UnitsPath() const { return folder_ / "units"; }

 private:
  // Starts `program` (searched in PATH) with stdin from /dev/null, stdout into a pipe whose
  // read end lands in `out`, stderr into the file `errorLog` or else shared with the test.
  pid_t Spawn(const char* program, std::vector<std::string> args, int& out, const char* errorLog = nullptr) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      problem_ = std::string("pipe2: ") + std::strerror(errno);
      return -1;
    }
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    if (errorLog != nullptr) posix_spawn_file_actions_addopen(&actions, 2, errorLog, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, program, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
      ::close(fds[0]);
      problem_ = std::string("cannot start ") + program + ": " + std::strerror(rc);
      return -1;
    }
    out = fds[0];
    return pid;
  }

  // One line from `fd`, without its newline; nothing when none came in `timeout` or the writer
  // closed the pipe first.
  static std::optional<std::string> ReadLine(int fd, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string line;
    while (line.size() < 4096) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd entry{fd, POLLIN, 0};
      const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return std::nullopt;
      char c = 0;
      const ssize_t n = ::read(fd, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::nullopt;
      if (c == '\n') return line;
      line += c;
    }
    return std::nullopt;
  }

  // SIGTERM, up to kStopTimeout for the child to end, then SIGKILL; always reaped.
  static void Stop(pid_t& pid, int& out) {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      const bool reaped = testkit::PollUntil(
          [&] {
            int status = 0;
            const pid_t done = ::waitpid(pid, &status, WNOHANG);
            return done == pid || (done < 0 && errno != EINTR);
          },
          kStopTimeout, std::chrono::milliseconds(5));
      if (!reaped) {
        ::kill(pid, SIGKILL);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
      }
      pid = -1;
    }
    if (out >= 0) {
      ::close(out);
      out = -1;
    }
  }

  testkit::TempDir folder_{"vorlane-bus"};
  std::string address_;
  std::string problem_;
  pid_t busPid_ = -1;
  int busOut_ = -1;
  pid_t fakePid_ = -1;
  int fakeOut_ = -1;
  bool fakeReady_ = false;
};

}  // namespace vorlane::platform::testing
