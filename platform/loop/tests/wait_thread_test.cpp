// Waiting on handles and messages together, events, and threads whose end can be waited for.
#include <pthread.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/loop/message_loop.h"
#include "platform/loop/tests/loop_test_support.h"

namespace vorlane::loop::test {
namespace {

using Wait = MessageLoop::WaitResult;
using LoopWait = LoopTest;
using LoopWaitPumping = LoopTest;

TEST_F(LoopWait, HandleSetByAnotherThreadIsReportedWithItsIndex) {
  Event manual(Event::Reset::kManual), autoReset(Event::Reset::kAuto);
  std::thread setter([&] { autoReset.Set(); });
  size_t which = 99;
  EXPECT_EQ(loop.WaitForHandleOrMessage({&manual, &autoReset}, 10s, &which), Wait::kSignaled);
  setter.join();
  EXPECT_EQ(which, 1u);
  EXPECT_FALSE(autoReset.IsSet());  // consumed by the wait
  EXPECT_EQ(loop.WaitForHandleOrMessage({&manual, &autoReset}, 0ms), Wait::kTimeout);

  manual.Set();
  for (int i = 0; i < 2; ++i) {  // a manual-reset handle stays set
    which = 99;
    EXPECT_EQ(loop.WaitForHandleOrMessage({&manual, &autoReset}, 0ms, &which), Wait::kSignaled);
    EXPECT_EQ(which, 0u);
  }
  // A set handle wins over a waiting message.
  loop.PostTask([] {});
  EXPECT_EQ(loop.WaitForHandleOrMessage({&manual}, 0ms), Wait::kSignaled);
}

TEST_F(LoopWait, PostedTaskOrDueTimerEndsTheWaitWithoutBeingTaken) {
  Event never;
  EXPECT_EQ(loop.WaitForHandleOrMessage({&never}, 20ms), Wait::kTimeout);
  EXPECT_EQ(loop.WaitForHandleOrMessage({}, 0ms), Wait::kTimeout);

  std::atomic<bool> ran{false};
  std::thread poster([&] { fresh.loop->PostTask([&] { ran = true; }); });
  EXPECT_EQ(loop.WaitForHandleOrMessage({&never}, 10s), Wait::kMessage);
  poster.join();
  EXPECT_EQ(loop.PendingCount(), 1u);
  EXPECT_FALSE(ran.load());
  Message message;
  ASSERT_TRUE(loop.Get(&message));
  loop.Dispatch(message);
  EXPECT_TRUE(ran.load());

  int ticks = 0;
  auto timer = loop.StartTimer(5ms, false, [&] { ++ticks; });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(loop.WaitForHandleOrMessage({&never}, 20s), Wait::kMessage);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);  // woken by the timer, not the timeout
  ASSERT_TRUE(loop.Get(&message));
  loop.Dispatch(message);
  EXPECT_EQ(ticks, 1);
}

// --- WaitPumping: waiting for an event while this thread's messages keep moving.

TEST_F(LoopWaitPumping, EventSetByAnotherThreadEndsTheWaitAfterWhatWasDispatchedMeanwhile) {
  for (Event::Reset mode : {Event::Reset::kManual, Event::Reset::kAuto}) {
    SCOPED_TRACE(mode == Event::Reset::kManual ? "manual" : "auto");
    Event done(mode);
    std::atomic<int> ran{0};
    // The other thread sets the event only after its task has run here, so that task can only
    // have run inside the wait.
    std::thread other([&] {
      loop.PostTask([&] { ++ran; });
      const auto deadline = std::chrono::steady_clock::now() + 10s;
      while (ran.load() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
      done.Set();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(loop.WaitPumping(done, 20s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    other.join();
    EXPECT_EQ(ran.load(), 1);
    EXPECT_EQ(done.IsSet(), mode == Event::Reset::kManual);  // an auto-reset event is consumed
  }

  // An event that is set already wins over messages waiting: nothing is dispatched.
  Event set(Event::Reset::kManual, true);
  bool ran = false;
  loop.PostTask([&] { ran = true; });
  EXPECT_TRUE(loop.WaitPumping(set, 0ms));
  EXPECT_FALSE(ran);
  EXPECT_EQ(loop.PendingCount(), 1u);
}

TEST_F(LoopWaitPumping, QuitSeenMeanwhileIsHeldBackAndPostedAgainWhenTheWaitEnds) {
  Event done;
  std::vector<std::string> ran;
  loop.PostTask([&] { ran.push_back("before"); });
  loop.PostQuit(3);
  loop.PostQuit(7);
  // Messages behind the quits still run: the wait does not end with the quit.
  loop.PostTask([&] { ran.push_back("after"); });
  loop.PostTask([&] { done.Set(); });
  EXPECT_TRUE(loop.WaitPumping(done, 10s));
  EXPECT_EQ(ran, (std::vector<std::string>{"before", "after"}));
  // One quit, the last one's code, is there for the thread's own loop.
  EXPECT_EQ(loop.PendingCount(), 1u);
  EXPECT_EQ(RunWithWatchdog(fresh.loop, 10s), 7);

  // A wait that runs out also gives the quit back.
  Event never;
  loop.PostQuit(5);
  EXPECT_FALSE(loop.WaitPumping(never, 20ms));
  EXPECT_EQ(RunWithWatchdog(fresh.loop, 10s), 5);
}

TEST_F(LoopWaitPumping, IdleLimitStartsAfreshAfterEveryDispatchedMessage) {
  Event never;

  // Nothing to do: the limit ends the wait, neither early nor unbounded.
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(loop.WaitPumping(never, 50ms));
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 50ms);
  EXPECT_LT(waited, 10s);

  // A timer ticking well inside the limit keeps the wait going far past one limit; once it stops,
  // one limit later the wait ends.
  constexpr int kTicks = 20;
  constexpr auto kInterval = 20ms;
  constexpr auto kLimit = 300ms;
  int ticks = 0;
  std::unique_ptr<LoopTimer> timer;
  timer = loop.StartTimer(kInterval, true, [&] {
    if (++ticks == kTicks) timer.reset();
  });
  start = std::chrono::steady_clock::now();
  EXPECT_FALSE(loop.WaitPumping(never, kLimit));
  waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(ticks, kTicks);
  EXPECT_GE(waited, kTicks * kInterval + kLimit);
  EXPECT_LT(waited, 20s);
}

TEST_F(LoopWaitPumping, HandlerMayWaitPumpingAgainAndTheOuterWaitStillEnds) {
  Event outer, inner;
  std::vector<std::string> ran;
  loop.PostTask([&] {
    ran.push_back("handler");
    loop.PostTask([&] {
      ran.push_back("nested");
      inner.Set();
    });
    EXPECT_TRUE(loop.WaitPumping(inner, 10s));
    outer.Set();
  });
  EXPECT_TRUE(loop.WaitPumping(outer, 10s));
  EXPECT_EQ(ran, (std::vector<std::string>{"handler", "nested"}));
}

TEST(LoopEvent, ManualStaysSetAutoIsConsumedOnce) {
  Event manual(Event::Reset::kManual, true);
  EXPECT_TRUE(manual.IsSet());
  EXPECT_TRUE(manual.Wait(0ms));
  EXPECT_TRUE(manual.TryConsume());
  EXPECT_TRUE(manual.Wait(0ms));
  manual.ResetEvent();
  EXPECT_FALSE(manual.IsSet());
  EXPECT_FALSE(manual.Wait(0ms));

  Event autoReset(Event::Reset::kAuto);
  autoReset.Set();
  autoReset.Set();  // setting twice still releases one wait
  EXPECT_TRUE(autoReset.IsSet());
  EXPECT_TRUE(autoReset.Wait(0ms));
  EXPECT_FALSE(autoReset.IsSet());
  EXPECT_FALSE(autoReset.Wait(0ms));
  autoReset.Set();
  EXPECT_TRUE(autoReset.TryConsume());
  EXPECT_FALSE(autoReset.TryConsume());
}

TEST(LoopEvent, SetWakesAWaiterOnAnotherThreadAndReleasesOneAutoWaiter) {
  Event manual;
  std::atomic<bool> woke{false};
  std::thread waiter([&] { woke = manual.Wait(10s); });
  manual.Set();
  waiter.join();
  EXPECT_TRUE(woke.load());

  Event autoReset(Event::Reset::kAuto);
  autoReset.Set();
  std::atomic<int> released{0};
  std::thread first([&] { released += autoReset.Wait(100ms); });
  std::thread second([&] { released += autoReset.Wait(100ms); });
  first.join();
  second.join();
  EXPECT_EQ(released.load(), 1);
}

TEST(LoopThread, EndedAfterTheBodyReturnsOrThrows) {
  std::atomic<bool> ran{false};
  WaitableThread thread([&ran] { ran = true; });
  ASSERT_TRUE(thread.Join(10s));
  EXPECT_TRUE(ran.load());
  EXPECT_TRUE(thread.Ended().IsSet());
  EXPECT_TRUE(thread.Join(0ms));

  WaitableThread throwing([] { throw std::runtime_error("body failed"); });
  EXPECT_TRUE(throwing.Join(10s));
}

TEST(LoopThread, TheBodysCapturesAreGoneBeforeEndedIsSet) {
  // Records, when the body is destroyed, whether its thread already counted as ended.
  struct Probe {
    std::atomic<WaitableThread*>* thread;
    std::atomic<int>* endedAtDestruction;
    ~Probe() { *endedAtDestruction = thread->load()->Ended().IsSet() ? 1 : 0; }
  };
  std::atomic<WaitableThread*> self{nullptr};
  std::atomic<int> endedAtDestruction{-1};
  std::shared_ptr<Probe> probe(new Probe{&self, &endedAtDestruction});
  Event release;
  WaitableThread thread([probe, &release] { release.Wait(30s); });
  self = &thread;
  probe.reset();  // the body holds the last reference now
  release.Set();
  ASSERT_TRUE(thread.Join(10s));
  EXPECT_EQ(endedAtDestruction.load(), 0);
}

TEST(LoopThread, JoinTimesOutWhileTheThreadIsBlocked) {
  Event release;
  WaitableThread thread([&] { release.Wait(30s); });
  EXPECT_FALSE(thread.Join(20ms));
  EXPECT_FALSE(thread.Ended().IsSet());
  release.Set();
  EXPECT_TRUE(thread.Join(10s));
}

TEST(LoopThread, AbandonedThreadRunsToItsEnd) {
  auto release = std::make_shared<Event>();
  auto finished = std::make_shared<Event>();
  {
    WaitableThread thread([release, finished] {
      release->Wait(30s);
      finished->Set();
    });
    thread.Abandon();
  }  // not joined: the body is still waiting
  EXPECT_FALSE(finished->IsSet());
  release->Set();
  EXPECT_TRUE(finished->Wait(10s));

  Event releaseKept;
  WaitableThread kept([&] { releaseKept.Wait(30s); });
  kept.Abandon();
  releaseKept.Set();
  EXPECT_TRUE(kept.Ended().Wait(10s));
}

TEST(LoopThread, StackSizeIsAppliedAndRaisedToTheMinimum) {
  for (size_t requested : {size_t{1}, size_t{512 * 1024}}) {
    size_t actual = 0;
    WaitableThread thread(
        [&] {
          pthread_attr_t attributes;
          ASSERT_EQ(::pthread_getattr_np(::pthread_self(), &attributes), 0);
          ::pthread_attr_getstacksize(&attributes, &actual);
          ::pthread_attr_destroy(&attributes);
        },
        requested);
    ASSERT_TRUE(thread.Join(10s));
    EXPECT_GE(actual, std::max<size_t>(requested, PTHREAD_STACK_MIN));
  }
}

// The test switch fails exactly the number of creations asked for, as pthread_create refusing a
// thread does, and the body of a thread that never started is destroyed without running.
TEST(LoopThread, InjectedCreationFailuresThrowEagainAndDropTheBody) {
  struct Case {
    int failures;      // armed before the attempts
    int cancelAfter;   // attempts after which the switch is set to 0 (-1: never)
    int expectFailed;  // of the four attempts
  };
  const Case cases[] = {{0, -1, 0}, {1, -1, 1}, {3, -1, 3}, {3, 1, 1}, {-2, -1, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "failures " << c.failures << ", cancel after " << c.cancelAfter);
    loop::testing::FailNextThreadCreations(c.failures);
    int failed = 0;
    for (int attempt = 0; attempt < 4; ++attempt) {
      if (attempt == c.cancelAfter) loop::testing::FailNextThreadCreations(0);
      auto captured = std::make_shared<int>(0);
      std::atomic<bool> ran{false};
      try {
        WaitableThread thread([captured, &ran] { ran = true; });
        ASSERT_TRUE(thread.Join(10s));
        EXPECT_TRUE(ran.load());
      } catch (const std::system_error& e) {
        ++failed;
        EXPECT_EQ(e.code().value(), EAGAIN);
        EXPECT_FALSE(ran.load());
      }
      EXPECT_EQ(captured.use_count(), 1) << "the body and its captures are gone either way";
    }
    EXPECT_EQ(failed, c.expectFailed);
  }
  loop::testing::FailNextThreadCreations(0);
}

}  // namespace
}  // namespace vorlane::loop::test
