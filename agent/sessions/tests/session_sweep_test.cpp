#include "agent/sessions/session_sweep.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <string>

#include "platform/debuglog/debuglog.h"
#include "platform/timer/timer.h"

namespace vorlane::agent {
namespace {

// Collects debug output through a pipe; reading waits (with a deadline) for a wanted line.
class DebugPipe {
 public:
  DebugPipe() {
    EXPECT_EQ(::pipe2(fds_, O_CLOEXEC), 0);
    previous_ = debuglog::RedirectForTesting(fds_[1]);
  }
  ~DebugPipe() {
    debuglog::RedirectForTesting(previous_);
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  // Reads until `needle` appeared or 10 s passed; returns everything read.
  std::string ReadUntil(const std::string& needle) {
    for (int waited = 0; text_.find(needle) == std::string::npos && waited < 100; ++waited) {
      pollfd pfd{fds_[0], POLLIN, 0};
      if (::poll(&pfd, 1, 100) <= 0) continue;
      char buffer[4096];
      ssize_t n = ::read(fds_[0], buffer, sizeof buffer);
      if (n > 0) text_.append(buffer, static_cast<size_t>(n));
    }
    return text_;
  }

 private:
  int fds_[2];
  int previous_;
  std::string text_;
};

constexpr std::time_t kNow = 1700000000;

TEST(SessionSweep, TimerRemovesIdleSessionsAndSaysWhich) {
  timer::SetMidiMapperAvailable(true);
  SessionTable table([] { return kNow; });
  table.Add("IDLE-601", kNow - 601);
  table.Add("IDLE-599", kNow - 599);
  DebugPipe debug;
  SessionSweep sweep(table);
  ASSERT_TRUE(sweep.Start(5));
  std::string out = debug.ReadUntil("IDLE-601\n");
  sweep.Stop();
  EXPECT_NE(out.find("Remove from sessions map (because of timeout): IDLE-601\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("IDLE-599"), std::string::npos);
  EXPECT_FALSE(table.Lookup("IDLE-601"));
  EXPECT_TRUE(table.Lookup("IDLE-599"));
}

TEST(SessionSweep, WithoutTheDeviceTheAgentRunsWithoutSweep) {
  timer::SetMidiMapperAvailable(false);
  SessionTable table;
  DebugPipe debug;
  SessionSweep sweep(table);
  EXPECT_FALSE(sweep.Start(kSessionSweepPeriodMs));
  EXPECT_FALSE(sweep.IsRunning());
  EXPECT_NE(debug.ReadUntil("\n").find("midiOutOpen failed!\n"), std::string::npos);
  timer::SetMidiMapperAvailable(true);
  // The table itself still works: requests are checked one by one.
  table.Add("S", kNow);
  EXPECT_EQ(table.CheckAndRenew("S", kNow + 301), SessionState::kTimedOut);
}

TEST(SessionSweep, FailedTimerGivesBackDeviceAndResolution) {
  timer::SetMidiMapperAvailable(true);
  const int devices = timer::OpenMidiDevicesForTesting();
  const int resolutions = timer::ActiveResolutionRequestsForTesting();
  SessionTable table;
  DebugPipe debug;
  SessionSweep sweep(table);
  EXPECT_FALSE(sweep.Start(0));  // a period the timer service refuses
  EXPECT_NE(debug.ReadUntil("\n").find("Periodic timeSetEvent failed!\n"), std::string::npos);
  EXPECT_EQ(timer::OpenMidiDevicesForTesting(), devices);
  EXPECT_EQ(timer::ActiveResolutionRequestsForTesting(), resolutions);
}

TEST(SessionSweep, StopReleasesEverythingAndIsIdempotent) {
  timer::SetMidiMapperAvailable(true);
  const int devices = timer::OpenMidiDevicesForTesting();
  SessionTable table;
  SessionSweep sweep(table);
  ASSERT_TRUE(sweep.Start(kSessionSweepPeriodMs));
  EXPECT_EQ(timer::OpenMidiDevicesForTesting(), devices + 1);
  sweep.Stop();
  sweep.Stop();
  EXPECT_FALSE(sweep.IsRunning());
  EXPECT_EQ(timer::OpenMidiDevicesForTesting(), devices);
}

}  // namespace
}  // namespace vorlane::agent
