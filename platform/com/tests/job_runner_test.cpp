// The runtime's job runner: ends reach the submitter's apartment, the pool stays within its cap,
// the submitting module is counted while its job lives, and a job that outlives its submitter
// ends on the worker without touching what is gone.
#include "platform/com/job_runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "platform/com/apartment.h"
#include "platform/com/module_thread.h"
#include "platform/loop/message_loop.h"
#include "testing/loop_pump.h"
#include "testing/poll_until.h"

namespace vorlane::com {
namespace {

using namespace std::chrono_literals;

TEST(JobRunnerTest, WorkRunsOnAWorkerAndTheEndInTheSubmittersApartment) {
  ApartmentScope apartment;
  ASSERT_TRUE(apartment.ok());
  JobRunner runner;
  std::thread::id worker, ended;
  std::atomic<bool> done{false};
  ASSERT_EQ(runner.Submit({.work = [&] { worker = std::this_thread::get_id(); },
                           .end = [&] { ended = std::this_thread::get_id(), done = true; }}),
            0);
  ASSERT_TRUE(testkit::PumpUntil(*loop::MessageLoop::Current(), [&] { return done.load(); }));
  EXPECT_EQ(ended, std::this_thread::get_id());
  EXPECT_NE(worker, std::this_thread::get_id());
}

TEST(JobRunnerTest, ManyJobsShareAPoolThatStaysWithinItsCapAndShrinksWhenIdle) {
  ApartmentScope apartment;
  JobRunner runner({.maxThreads = 3, .keptThreads = 1, .idleExit = 50ms});
  constexpr int kJobs = 40;
  loop::Event gate;
  std::atomic<int> active{0}, most{0}, ends{0};
  for (int i = 0; i < kJobs; ++i) {
    ASSERT_EQ(runner.Submit({.work =
                                 [&] {
                                   const int now = ++active;
                                   for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {
                                   }
                                   gate.Wait(10s);
                                   --active;
                                 },
                             .end = [&] { ++ends; }}),
              0);
  }
  ASSERT_TRUE(testkit::PollUntil([&] { return active.load() == 3; }));
  EXPECT_EQ(runner.Threads(), 3u);
  gate.Set();
  ASSERT_TRUE(testkit::PumpUntil(*loop::MessageLoop::Current(), [&] { return ends.load() == kJobs; }));
  EXPECT_EQ(most.load(), 3);
  EXPECT_TRUE(testkit::PollUntil([&] { return runner.Threads() == 1; })) << runner.Threads();
}

TEST(JobRunnerTest, TheModuleStaysCountedUntilItsJobIsGone) {
  ApartmentScope apartment;
  ASSERT_EQ(DllCanUnloadNowHelper(), S_OK);
  loop::Event gate;
  std::atomic<bool> ended{false};
  ASSERT_EQ(RunModuleJob([&] { gate.Wait(10s); }, [&] { ended = true; }), 0);
  EXPECT_EQ(DllCanUnloadNowHelper(), S_FALSE);
  gate.Set();
  ASSERT_TRUE(testkit::PumpUntil(*loop::MessageLoop::Current(), [&] { return ended.load(); }));
  EXPECT_TRUE(testkit::PollUntil([] { return DllCanUnloadNowHelper() == S_OK; }));
}

TEST(JobRunnerTest, AJobThatOutlivesItsSubmitterEndsOnTheWorkerAndReleasesWhatItHeld) {
  JobRunner runner;
  loop::Event gate;
  auto held = std::make_shared<int>(1);
  std::weak_ptr<int> watch = held;
  std::atomic<bool> endRan{false}, orphanedRan{false};
  std::thread submitter([&, held = std::move(held)]() mutable {
    ApartmentScope apartment;
    ASSERT_EQ(runner.Submit({.work = [&gate, held] { gate.Wait(10s); },
                             .end = [&endRan] { endRan = true; },
                             .orphaned = [&orphanedRan] { orphanedRan = true; }}),
              0);
    held.reset();
  });
  submitter.join();  // its apartment and loop are gone
  gate.Set();
  ASSERT_TRUE(testkit::PollUntil([&] { return orphanedRan.load() && watch.expired(); }));
  EXPECT_FALSE(endRan.load());
}

TEST(JobRunnerTest, ARefusedWorkerFailsTheSubmissionAndDropsTheJob) {
  JobRunner runner;
  auto held = std::make_shared<int>(1);
  std::weak_ptr<int> watch = held;
  loop::testing::FailNextThreadCreations(1);
  const int refused = runner.Submit({.work = [held = std::move(held)] {}});
  loop::testing::FailNextThreadCreations(0);
  EXPECT_EQ(refused, EAGAIN);
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(runner.Threads(), 0u);
}

}  // namespace
}  // namespace vorlane::com
