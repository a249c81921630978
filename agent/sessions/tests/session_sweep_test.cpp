#include "agent/sessions/session_sweep.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/timer/timer.h"
#include "testing/debug_capture.h"

namespace vorlane::agent {
namespace {

constexpr std::time_t kNow = 1700000000;

TEST(SessionSweep, TimerRemovesIdleSessionsAndSaysWhich) {
  timer::SetMidiMapperAvailable(true);
  SessionTable table([] { return kNow; });
  table.Add("IDLE-601", kNow - 601);
  table.Add("IDLE-599", kNow - 599);
  testkit::DebugCapture debug;
  SessionSweep sweep(table);
  ASSERT_TRUE(sweep.Start(5));
  std::string out = debug.WaitFor("IDLE-601\n");
  sweep.Stop();
  EXPECT_NE(out.find("Remove from sessions map (because of timeout): IDLE-601\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("IDLE-599"), std::string::npos);
  EXPECT_FALSE(table.Lookup("IDLE-601"));
  EXPECT_TRUE(table.Lookup("IDLE-599"));
}

TEST(SessionSweep, WithoutTheDeviceTheAgentRunsWithoutSweep) {
  timer::SetMidiMapperAvailable(false);
  SessionTable table;
  testkit::DebugCapture debug;
  SessionSweep sweep(table);
  EXPECT_FALSE(sweep.Start(kSessionSweepPeriodMs));
  EXPECT_FALSE(sweep.IsRunning());
  EXPECT_NE(debug.WaitFor("\n").find("midiOutOpen failed!\n"), std::string::npos);
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
  testkit::DebugCapture debug;
  SessionSweep sweep(table);
  EXPECT_FALSE(sweep.Start(0));  // a period the timer service refuses
  EXPECT_NE(debug.WaitFor("\n").find("Periodic timeSetEvent failed!\n"), std::string::npos);
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
