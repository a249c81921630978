#include "platform/timer/timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vorlane::timer {
namespace {

using namespace std::chrono_literals;

// Counts ticks and lets a test wait, with a deadline, until a number of them arrived.
class TickCounter {
 public:
  void Tick() {
    std::lock_guard lock(lock_);
    ++ticks_;
    changed_.notify_all();
  }
  bool WaitFor(int count, std::chrono::milliseconds deadline) {
    std::unique_lock lock(lock_);
    return changed_.wait_for(lock, deadline, [&] { return ticks_ >= count; });
  }
  int Ticks() {
    std::lock_guard lock(lock_);
    return ticks_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  int ticks_ = 0;
};

TEST(PeriodicTimer, FiresRepeatedlyUntilKilled) {
  TickCounter counter;
  auto timer = PeriodicTimer::Start(2ms, [&] { counter.Tick(); });
  ASSERT_TRUE(timer.ok());
  ASSERT_TRUE(counter.WaitFor(5, 10s));
  timer.value()->Kill();
  const int afterKill = counter.Ticks();
  // Once Kill has returned no callback runs any more: a fresh timer proves time has passed.
  TickCounter other;
  auto probe = PeriodicTimer::Start(2ms, [&] { other.Tick(); });
  ASSERT_TRUE(probe.ok());
  ASSERT_TRUE(other.WaitFor(5, 10s));
  EXPECT_EQ(counter.Ticks(), afterKill);
}

TEST(PeriodicTimer, DoesNotFireBeforeTheFirstPeriod) {
  std::atomic<int> ticks{0};
  auto timer = PeriodicTimer::Start(300000ms, [&] { ++ticks; });
  ASSERT_TRUE(timer.ok());
  timer.value().reset();  // kills at once, long before the period
  EXPECT_EQ(ticks.load(), 0);
}

TEST(PeriodicTimer, RefusesPeriodsOutOfRange) {
  EXPECT_FALSE(PeriodicTimer::Start(0ms, [] {}).ok());
  EXPECT_FALSE(PeriodicTimer::Start(1000001ms, [] {}).ok());
  EXPECT_FALSE(PeriodicTimer::Start(5ms, nullptr).ok());
}

TEST(PeriodicTimer, CanBeKilledAndDestroyedFromItsOwnCallback) {
  std::unique_ptr<PeriodicTimer> owned;
  TickCounter counter;
  std::mutex ownedLock;
  auto timer = PeriodicTimer::Start(1ms, [&] {
    std::lock_guard lock(ownedLock);
    // Ticks before the test hands the timer over find nothing to destroy and do not count.
    if (!owned) return;
    owned.reset();
    counter.Tick();
  });
  ASSERT_TRUE(timer.ok());
  {
    std::lock_guard lock(ownedLock);
    owned = std::move(timer).value();
  }
  ASSERT_TRUE(counter.WaitFor(1, 10s));
  std::lock_guard lock(ownedLock);
  EXPECT_EQ(owned, nullptr);
}

TEST(MidiOutDevice, OpensUnlessMarkedUnavailable) {
  SetMidiMapperAvailable(true);
  const int before = OpenMidiDevicesForTesting();
  {
    auto device = MidiOutDevice::OpenMapper();
    ASSERT_TRUE(device.ok());
    EXPECT_TRUE(device.value().IsOpen());
    EXPECT_EQ(OpenMidiDevicesForTesting(), before + 1);
    MidiOutDevice moved = std::move(device).value();
    EXPECT_EQ(OpenMidiDevicesForTesting(), before + 1);
  }
  EXPECT_EQ(OpenMidiDevicesForTesting(), before);

  SetMidiMapperAvailable(false);
  EXPECT_FALSE(MidiOutDevice::OpenMapper().ok());
  SetMidiMapperAvailable(true);
}

TEST(ResolutionRequest, AcceptsOneToOneThousandMs) {
  const int before = ActiveResolutionRequestsForTesting();
  {
    auto request = ResolutionRequest::Begin(1);
    ASSERT_TRUE(request.ok());
    EXPECT_EQ(ActiveResolutionRequestsForTesting(), before + 1);
  }
  EXPECT_EQ(ActiveResolutionRequestsForTesting(), before);
  EXPECT_FALSE(ResolutionRequest::Begin(0).ok());
  EXPECT_FALSE(ResolutionRequest::Begin(1001).ok());
}

}  // namespace
}  // namespace vorlane::timer
