// The request lanes with real workers: order within a lane, the bound on requests running at
// once, turns between lanes, the counts reported to the connection, dropping and stopping, and
// the apartment and loop a request runs in. Every wait is bounded: a gate that work items wait
// at for a limited time, and polls to a deadline.
#include "agent/server/request_lanes.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/apartment.h"
#include "platform/loop/message_loop.h"
#include "testing/poll_until.h"

namespace vorlane::agent {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testkit::PollUntil;

// Work items wait here until the test opens it, or their limit passes.
class Gate {
 public:
  void Open() {
    {
      std::lock_guard held(lock_);
      open_ = true;
    }
    opened_.notify_all();
  }
  bool Wait(std::chrono::milliseconds limit = 10s) {
    std::unique_lock held(lock_);
    return opened_.wait_for(held, limit, [this] { return open_; });
  }

 private:
  std::mutex lock_;
  std::condition_variable opened_;
  bool open_ = false;  // guarded by lock_
};

// A connection id the lanes never look through.
RequestLanes::ConnectionId Connection(int number) {
  return reinterpret_cast<RequestLanes::ConnectionId>(static_cast<uintptr_t>(number) + 1);
}

const RequestLanes::Report kNoReport;

// What the work of a test shares, in a list under a lock.
template <class T>
class Recorded {
 public:
  void Add(T value) {
    std::lock_guard held(lock_);
    values_.push_back(std::move(value));
  }
  std::vector<T> Values() {
    std::lock_guard held(lock_);
    return values_;
  }
  size_t Size() {
    std::lock_guard held(lock_);
    return values_.size();
  }

 private:
  std::mutex lock_;
  std::vector<T> values_;  // guarded by lock_
};

size_t ThreadsOfThisProcess() {
  size_t count = 0;
  DIR* tasks = ::opendir("/proc/self/task");
  if (tasks == nullptr) return 0;
  while (dirent* entry = ::readdir(tasks)) count += entry->d_name[0] != '.';
  ::closedir(tasks);
  return count;
}

// Several threads submit numbered items, either each to a lane of its own or all to one lane;
// each thread's items run in the order it submitted them, and never two of a lane at once.
struct OrderCase {
  const char* name;
  bool sharedLane;
};

void PrintTo(const OrderCase& orderCase, std::ostream* out) { *out << orderCase.name; }

class RequestLanesOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(RequestLanesOrder, EachSubmittersItemsRunInOrderAndOneAtATimePerLane) {
  constexpr int kSubmitters = 4;
  constexpr int kItems = 150;
  RequestLanes lanes(3, kSubmitters * kItems);
  Recorded<std::pair<int, int>> ran;  // (submitter, item)
  std::atomic<int> refused{0};
  std::vector<std::atomic<int>> runningPerLane(kSubmitters);
  std::atomic<int> overlaps{0};
  std::vector<std::thread> submitters;
  for (int submitter = 0; submitter < kSubmitters; ++submitter) {
    submitters.emplace_back([&, submitter] {
      const int lane = GetParam().sharedLane ? 0 : submitter;
      for (int item = 0; item < kItems; ++item) {
        const bool queued = lanes.Submit(
            Connection(lane),
            [&, submitter, item, lane] {
              if (++runningPerLane[lane] > 1) ++overlaps;
              ran.Add({submitter, item});
              --runningPerLane[lane];
            },
            kNoReport);
        if (!queued) ++refused;
      }
    });
  }
  for (std::thread& submitter : submitters) submitter.join();
  ASSERT_TRUE(PollUntil([&] { return ran.Size() == kSubmitters * kItems; }, 20s)) << ran.Size();
  EXPECT_EQ(refused.load(), 0);
  EXPECT_EQ(overlaps.load(), 0);
  std::vector<int> next(kSubmitters, 0);
  for (const auto& [submitter, item] : ran.Values()) {
    EXPECT_EQ(item, next[submitter]) << "submitter " << submitter;
    next[submitter] = item + 1;
  }
  EXPECT_TRUE(lanes.Stop(5s));
}

INSTANTIATE_TEST_SUITE_P(Lanes, RequestLanesOrder,
                         ::testing::Values(OrderCase{"LaneEach", false}, OrderCase{"OneLane", true}),
                         [](const ::testing::TestParamInfo<OrderCase>& info) { return std::string(info.param.name); });

// With more lanes than workers, as many items run at once as allowed and never more: the first
// ones wait at the gate, and no other may start meanwhile.
class RequestLanesBound : public ::testing::TestWithParam<size_t> {};

TEST_P(RequestLanesBound, AtMostMaxRunningRunAtOnce) {
  const size_t maxRunning = GetParam();
  constexpr int kLanes = 6;
  constexpr int kItems = 10;
  RequestLanes lanes(maxRunning, kItems);
  std::atomic<size_t> running{0}, most{0}, started{0}, finished{0};
  Gate release;
  for (int item = 0; item < kItems; ++item) {
    for (int lane = 0; lane < kLanes; ++lane) {
      ASSERT_TRUE(lanes.Submit(
          Connection(lane),
          [&] {
            const size_t now = ++running;
            size_t seen = most.load();
            while (now > seen && !most.compare_exchange_weak(seen, now)) {
            }
            ++started;
            (void)release.Wait();
            --running;
            ++finished;
          },
          kNoReport));
    }
  }
  ASSERT_TRUE(PollUntil([&] { return started.load() >= maxRunning; }, 10s)) << started.load();
  EXPECT_FALSE(PollUntil([&] { return started.load() > maxRunning; }, 200ms)) << "more started than may run";
  EXPECT_EQ(lanes.Running(), maxRunning);
  release.Open();
  ASSERT_TRUE(PollUntil([&] { return finished.load() == kLanes * kItems; }, 20s)) << finished.load();
  EXPECT_EQ(most.load(), maxRunning);
  EXPECT_LE(lanes.Workers(), maxRunning);
  EXPECT_TRUE(lanes.Stop(5s));
}

INSTANTIATE_TEST_SUITE_P(Workers, RequestLanesBound, ::testing::Values(size_t{1}, size_t{2}, size_t{4}));

// A lane runs one item and goes to the back of the line: with one worker, a lane with 50 items
// queued first does not hold back a lane with 5 behind it. Everything is queued while the first
// item waits at the gate, so the order is the scheduler's alone.
TEST(RequestLanes, LanesTakeTurns) {
  RequestLanes lanes(1, 100);
  Gate start;
  Recorded<std::string> ran;
  auto item = [&](std::string name) {
    return [&, name] {
      if (name == "A0") (void)start.Wait();
      ran.Add(name);
    };
  };
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(lanes.Submit(Connection(1), item("A" + std::to_string(i)), kNoReport));
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(lanes.Submit(Connection(2), item("B" + std::to_string(i)), kNoReport));
  start.Open();
  ASSERT_TRUE(PollUntil([&] { return ran.Size() == 55; }, 10s));
  const std::vector<std::string> order = ran.Values();
  const auto position = [&](const std::string& name) {
    return std::find(order.begin(), order.end(), name) - order.begin();
  };
  // Taking turns puts B4 right after A5; one lane after the other would put it last.
  EXPECT_LT(position("B4"), position("A10")) << ::testing::PrintToString(order);
  for (int i = 1; i < 5; ++i) EXPECT_LT(position("B" + std::to_string(i - 1)), position("B" + std::to_string(i)));
  EXPECT_TRUE(lanes.Stop(5s));
}

// The lane's count of unanswered items goes to its report at every change: up as items are
// submitted (the first running, the others waiting), down as each finishes.
TEST(RequestLanes, ReportIsToldEveryChangeOfTheCount) {
  RequestLanes lanes(1, 10);
  Gate release;
  Recorded<size_t> counts, otherCounts;
  const RequestLanes::Report report = [&](size_t count) { counts.Add(count); };
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(lanes.Submit(Connection(1), [&] { (void)release.Wait(); }, report));
  }
  // Another lane has its own count, told to its own report.
  ASSERT_TRUE(lanes.Submit(Connection(2), [] {}, [&](size_t count) { otherCounts.Add(count); }));
  EXPECT_EQ(counts.Values(), (std::vector<size_t>{1, 2, 3}));
  release.Open();
  ASSERT_TRUE(PollUntil([&] { return counts.Size() == 6 && otherCounts.Size() == 2; }, 10s));
  EXPECT_EQ(counts.Values(), (std::vector<size_t>{1, 2, 3, 2, 1, 0}));
  EXPECT_EQ(otherCounts.Values(), (std::vector<size_t>{1, 0}));
  EXPECT_TRUE(lanes.Stop(5s));
}

TEST(RequestLanes, SubmitBeyondMaxUnansweredIsRefused) {
  constexpr size_t kMaxUnanswered = 3;
  RequestLanes lanes(1, kMaxUnanswered);
  Gate release;
  std::atomic<int> ran{0};
  for (size_t i = 0; i < kMaxUnanswered; ++i) {
    ASSERT_TRUE(lanes.Submit(Connection(1), [&] { (void)release.Wait(), ++ran; }, kNoReport));
  }
  EXPECT_FALSE(lanes.Submit(Connection(1), [&] { ran += 100; }, kNoReport)) << "the lane is full";
  EXPECT_TRUE(lanes.Submit(Connection(2), [&] { ++ran; }, kNoReport)) << "another lane has its own bound";
  release.Open();
  ASSERT_TRUE(PollUntil([&] { return ran.load() == static_cast<int>(kMaxUnanswered) + 1; }, 10s)) << ran.load();
  // Answered, the lane takes work again.
  EXPECT_TRUE(lanes.Submit(Connection(1), [&] { ++ran; }, kNoReport));
  ASSERT_TRUE(PollUntil([&] { return ran.load() == static_cast<int>(kMaxUnanswered) + 2; }, 10s)) << ran.load();
  EXPECT_TRUE(lanes.Stop(5s));
}

TEST(RequestLanes, DropDropsWaitingWorkAndLetsTheRunningItemFinish) {
  RequestLanes lanes(1, 10);
  Gate release;
  std::atomic<int> started{0}, finished{0}, dropped{0};
  Recorded<size_t> counts;
  const RequestLanes::Report report = [&](size_t count) { counts.Add(count); };
  ASSERT_TRUE(lanes.Submit(Connection(1), [&] { ++started, (void)release.Wait(), ++finished; }, report));
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(lanes.Submit(Connection(1), [&] { ++dropped; }, report));
  ASSERT_TRUE(PollUntil([&] { return started.load() == 1; }, 10s));
  lanes.Drop(Connection(1));
  EXPECT_EQ(counts.Values().back(), 1u) << "the running one is still unanswered";
  release.Open();
  // One worker, lanes in turn: a sentinel on another lane runs after anything left of the first.
  std::atomic<bool> sentinel{false};
  ASSERT_TRUE(lanes.Submit(Connection(2), [&] { sentinel = true; }, kNoReport));
  ASSERT_TRUE(PollUntil([&] { return sentinel.load(); }, 10s));
  EXPECT_EQ(finished.load(), 1);
  EXPECT_EQ(dropped.load(), 0);
  EXPECT_EQ(counts.Values().back(), 0u);
  // The dropped connection's id makes a new lane.
  ASSERT_TRUE(lanes.Submit(Connection(1), [&] { ++finished; }, kNoReport));
  ASSERT_TRUE(PollUntil([&] { return finished.load() == 2; }, 10s));
  EXPECT_TRUE(lanes.Stop(5s));
}

// A stop that gives up on a long item returns after about its bound; the item finishes later on
// its own, with the lanes gone (what it uses is its own, in a shared_ptr).
// A quick request never waits for a place among the checks: with every place taken and a check
// waiting for one, a quick request of another lane runs on a worker kept for quick requests; with
// those busy too, the next one waits for a worker, and the workers stay bounded.
TEST(RequestLanes, QuickRequestsRunWhileEveryPlaceForChecksIsTaken) {
  constexpr size_t kChecks = 2, kQuick = 1;
  RequestLanes lanes(kChecks, 10, kQuick);
  Gate checks, quick;
  std::atomic<int> checksStarted{0};
  std::atomic<bool> waitingCheckRan{false}, firstQuickRan{false}, secondQuickRan{false};
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(lanes.Submit(Connection(i), [&] { ++checksStarted, checks.Wait(); }, kNoReport));
  }
  ASSERT_TRUE(PollUntil([&] { return checksStarted.load() == 2; }, 10s));
  ASSERT_TRUE(lanes.Submit(Connection(2), [&] { waitingCheckRan = true; }, kNoReport));
  ASSERT_TRUE(lanes.Submit(Connection(3), [&] { firstQuickRan = true, quick.Wait(); }, kNoReport,
                           RequestLanes::Kind::kQuick));
  EXPECT_TRUE(PollUntil([&] { return firstQuickRan.load(); }, 10s)) << "the quick request waited for a check";
  ASSERT_TRUE(lanes.Submit(Connection(4), [&] { secondQuickRan = true; }, kNoReport, RequestLanes::Kind::kQuick));
  EXPECT_FALSE(PollUntil([&] { return secondQuickRan.load() || waitingCheckRan.load(); }, 200ms));
  EXPECT_EQ(lanes.Workers(), kChecks + kQuick);

  quick.Open();  // the worker kept for quick requests is free again
  EXPECT_TRUE(PollUntil([&] { return secondQuickRan.load(); }, 10s));
  EXPECT_FALSE(waitingCheckRan.load()) << "a check ran beyond the bound";
  checks.Open();
  EXPECT_TRUE(PollUntil([&] { return waitingCheckRan.load() && lanes.Running() == 0; }, 10s));
  EXPECT_EQ(lanes.Workers(), kChecks + kQuick);
}

TEST(RequestLanes, StopWithABoundLeavesALongItemToFinishOnItsOwn) {
  struct Shared {
    Gate release;
    std::atomic<bool> started{false}, finished{false}, waitedOut{false};
  };
  auto shared = std::make_shared<Shared>();
  auto lanes = std::make_unique<RequestLanes>(2, 10);
  std::atomic<bool> droppedRan{false};
  ASSERT_TRUE(lanes->Submit(
      Connection(1),
      [shared] {
        shared->started = true;
        shared->waitedOut = !shared->release.Wait(20s);
        shared->finished = true;
      },
      kNoReport));
  ASSERT_TRUE(lanes->Submit(Connection(1), [&] { droppedRan = true; }, kNoReport));
  ASSERT_TRUE(PollUntil([&] { return shared->started.load(); }, 10s));
  // A second worker, idle by the stop: it ends, while the busy one is left to finish.
  std::atomic<bool> quickRan{false};
  ASSERT_TRUE(lanes->Submit(Connection(2), [&] { quickRan = true; }, kNoReport));
  ASSERT_TRUE(PollUntil([&] { return quickRan.load() && lanes->Running() == 1; }, 10s));
  EXPECT_EQ(lanes->Workers(), 2u);

  constexpr auto kBound = 300ms;
  const auto before = Clock::now();
  EXPECT_FALSE(lanes->Stop(kBound));
  const auto took = Clock::now() - before;
  EXPECT_GE(took, kBound);
  EXPECT_LT(took, kBound + 2s);
  EXPECT_FALSE(lanes->Submit(Connection(2), [] {}, kNoReport)) << "stopped lanes take no work";
  lanes.reset();

  shared->release.Open();
  EXPECT_TRUE(PollUntil([&] { return shared->finished.load(); }, 10s));
  EXPECT_FALSE(shared->waitedOut.load());
  EXPECT_FALSE(droppedRan.load()) << "waiting work is dropped by the stop";
}

TEST(RequestLanes, StopWithNothingRunningEndsTheWorkers) {
  constexpr size_t kWorkers = 3;
  const size_t before = ThreadsOfThisProcess();
  ASSERT_GT(before, 0u);
  RequestLanes lanes(kWorkers, 10);
  // As many items at once as there may be workers: each waits for the others to start.
  std::atomic<size_t> started{0};
  Gate all;
  for (size_t lane = 0; lane < kWorkers; ++lane) {
    ASSERT_TRUE(lanes.Submit(
        Connection(static_cast<int>(lane)),
        [&] {
          if (++started == kWorkers) all.Open();
          (void)all.Wait();
        },
        kNoReport));
  }
  ASSERT_TRUE(PollUntil([&] { return lanes.Running() == 0 && started.load() == kWorkers; }, 10s));
  EXPECT_EQ(lanes.Workers(), kWorkers);
  EXPECT_EQ(ThreadsOfThisProcess(), before + kWorkers);
  EXPECT_TRUE(lanes.Stop(5s));
  EXPECT_EQ(ThreadsOfThisProcess(), before) << "the workers are joined";
}

// Lanes stopped (or destroyed) just after their first item was submitted, while its worker may
// still be starting: the worker runs the item or not, and ends either way.
TEST(RequestLanes, AWorkerStartingAsTheLanesStopEndsAfterwards) {
  constexpr int kRounds = 20;
  const size_t before = ThreadsOfThisProcess();
  ASSERT_GT(before, 0u);
  for (int round = 0; round < kRounds; ++round) {
    RequestLanes lanes(1, 10);
    ASSERT_TRUE(lanes.Submit(Connection(round), [] {}, kNoReport));
    (void)lanes.Stop(0ms);
  }
  EXPECT_TRUE(PollUntil([&] { return ThreadsOfThisProcess() == before; }, 5s))
      << ThreadsOfThisProcess() - before << " workers still there";
}

// Work runs in a single-threaded apartment with a message loop, and the workers serve item
// after item: no more threads than the bound over many items.
TEST(RequestLanes, WorkRunsInAnApartmentWithALoopOnReusedWorkers) {
  constexpr size_t kMaxRunning = 2;
  constexpr int kItems = 100;
  RequestLanes lanes(kMaxRunning, kItems);
  struct Seen {
    std::thread::id thread;
    bool apartment;
    bool loop;
  };
  Recorded<Seen> seen;
  for (int item = 0; item < kItems; ++item) {
    ASSERT_TRUE(lanes.Submit(
        Connection(item % 5),
        [&] {
          seen.Add({std::this_thread::get_id(), com::CurrentApartment() != nullptr,
                    loop::MessageLoop::Current() != nullptr});
        },
        kNoReport));
  }
  ASSERT_TRUE(PollUntil([&] { return seen.Size() == kItems; }, 10s)) << seen.Size();
  std::set<std::thread::id> threads;
  for (const Seen& item : seen.Values()) {
    EXPECT_TRUE(item.apartment);
    EXPECT_TRUE(item.loop);
    EXPECT_NE(item.thread, std::this_thread::get_id());
    threads.insert(item.thread);
  }
  EXPECT_LE(threads.size(), kMaxRunning);
  EXPECT_LE(lanes.Workers(), kMaxRunning);
  EXPECT_TRUE(lanes.Stop(5s));
}

TEST(RequestLanes, AThrowingItemDoesNotStopItsLane) {
  RequestLanes lanes(1, 10);
  Recorded<size_t> counts;
  std::atomic<bool> after{false};
  const RequestLanes::Report report = [&](size_t count) { counts.Add(count); };
  ASSERT_TRUE(lanes.Submit(Connection(1), [] { throw std::runtime_error("check failed"); }, report));
  ASSERT_TRUE(lanes.Submit(Connection(1), [] { throw 42; }, report));
  ASSERT_TRUE(lanes.Submit(Connection(1), [&] { after = true; }, report));
  ASSERT_TRUE(PollUntil([&] { return after.load() && !counts.Values().empty() && counts.Values().back() == 0; }, 10s));
  EXPECT_EQ(lanes.Running(), 0u);
  EXPECT_TRUE(lanes.Stop(5s));
}

}  // namespace
}  // namespace vorlane::agent
