// Fd watches and timers: readiness and due ticks arrive as messages, once at a time.
#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/base/unique_fd.h"
#include "platform/loop/message_loop.h"
#include "platform/loop/tests/loop_test_support.h"

namespace vorlane::loop::test {
namespace {

using Wait = MessageLoop::WaitResult;
using LoopFd = LoopTest;
using LoopTimer = LoopTest;

struct Pipe {
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    in.reset(fds[0]);
    out.reset(fds[1]);
  }
  void WriteByte() const {
    const char byte = 'x';
    EXPECT_EQ(::write(out.get(), &byte, 1), 1);
  }
  UniqueFd in, out;
};

TEST_F(LoopFd, ReadableAndHangUpAreReported) {
  Pipe pipe;
  std::vector<uint32_t> seen;
  std::unique_ptr<FdWatch> watch = loop.WatchFd(pipe.in.get(), EPOLLIN, [&](uint32_t events) {
    seen.push_back(events);
    char byte;
    while (::read(pipe.in.get(), &byte, 1) == 1) {
    }
  });
  ASSERT_NE(watch, nullptr);
  pipe.WriteByte();
  ASSERT_TRUE(PumpUntil(loop, [&] { return seen.size() == 1; }));
  EXPECT_NE(seen[0] & EPOLLIN, 0u);

  pipe.out.reset();
  ASSERT_TRUE(PumpUntil(loop, [&] { return seen.size() == 2; }));
  EXPECT_NE(seen[1] & EPOLLHUP, 0u);
}

TEST_F(LoopFd, UnreadDataIsReportedOnceUntilTheCallbackRan) {
  Pipe pipe;
  int calls = 0;
  auto watch = loop.WatchFd(pipe.in.get(), EPOLLIN, [&](uint32_t) { ++calls; });  // never reads
  ASSERT_NE(watch, nullptr);
  pipe.WriteByte();
  for (int round = 1; round <= 3; ++round) {
    ASSERT_EQ(loop.WaitForHandleOrMessage({}, 10s), Wait::kMessage);
    Message message;
    for (int poll = 0; poll < 5; ++poll) {
      ASSERT_TRUE(loop.Peek(&message, false));
      EXPECT_EQ(loop.PendingCount(), 1u);
    }
    ASSERT_TRUE(loop.Peek(&message, true));
    loop.Dispatch(message);
    EXPECT_EQ(calls, round);
  }
}

TEST_F(LoopFd, DestroyingTheWatchStopsReportsAlsoFromItsOwnCallback) {
  Pipe pipe;
  int calls = 0;
  auto queued = loop.WatchFd(pipe.in.get(), EPOLLIN, [&](uint32_t) { ++calls; });
  pipe.WriteByte();
  ASSERT_EQ(loop.WaitForHandleOrMessage({}, 10s), Wait::kMessage);
  queued.reset();  // its report is dropped from the queue
  EXPECT_EQ(loop.PendingCount(), 0u);
  EXPECT_EQ(calls, 0);

  auto token = std::make_shared<int>(0);
  std::unique_ptr<FdWatch> self;
  self = loop.WatchFd(pipe.in.get(), EPOLLIN, [&, token](uint32_t) {
    ++calls;
    self.reset();
    ++*token;  // still alive while it runs
  });
  ASSERT_NE(self, nullptr);
  ASSERT_TRUE(PumpUntil(loop, [&] { return calls == 1; }));
  EXPECT_EQ(token.use_count(), 1);
  // The byte is still unread, yet nothing is reported any more.
  EXPECT_EQ(loop.WaitForHandleOrMessage({}, 50ms), Wait::kTimeout);
  EXPECT_EQ(calls, 1);
}

TEST_F(LoopFd, SetEventsChangesWhatIsReported) {
  Pipe pipe;
  std::vector<uint32_t> seen;
  auto watch = loop.WatchFd(pipe.out.get(), 0, [&](uint32_t events) { seen.push_back(events); });
  ASSERT_NE(watch, nullptr);
  EXPECT_EQ(loop.WaitForHandleOrMessage({}, 30ms), Wait::kTimeout);  // writable, but not asked for

  watch->SetEvents(EPOLLOUT);
  ASSERT_EQ(loop.WaitForHandleOrMessage({}, 10s), Wait::kMessage);
  watch->SetEvents(0);  // withdrawn while the report waits: it is not delivered
  Message message;
  ASSERT_TRUE(loop.Peek(&message, true));
  loop.Dispatch(message);
  EXPECT_TRUE(seen.empty());

  watch->SetEvents(EPOLLOUT);
  ASSERT_TRUE(PumpUntil(loop, [&] { return !seen.empty(); }));
  EXPECT_NE(seen[0] & EPOLLOUT, 0u);
}

TEST_F(LoopFd, FdThatCannotBeWatchedGivesNoWatch) {
  Pipe pipe;
  EXPECT_EQ(loop.WatchFd(-1, EPOLLIN, [](uint32_t) {}), nullptr);
  auto first = loop.WatchFd(pipe.in.get(), EPOLLIN, [](uint32_t) {});
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(loop.WatchFd(pipe.in.get(), EPOLLIN, [](uint32_t) {}), nullptr);
}

TEST_F(LoopTimer, OneShotFiresOncePeriodicRepeats) {
  int once = 0, periodic = 0;
  auto oneShot = loop.StartTimer(5ms, false, [&] { ++once; });
  auto repeating = loop.StartTimer(5ms, true, [&] {
    if (++periodic == 5) loop.PostQuit(0);
  });
  // Run blocks in Get, so this also shows that a blocked loop wakes for its timers.
  EXPECT_EQ(RunWithWatchdog(fresh.loop, 10s), 0);
  // Several periods later the one-shot has still fired only once.
  EXPECT_EQ(once, 1);
}

TEST_F(LoopTimer, DestroyingCancelsAlsoAQueuedTickAndFromItsOwnCallback) {
  int cancelled = 0, selfCancelling = 0;
  bool probe = false;
  auto neverDue = loop.StartTimer(5ms, true, [&] { ++cancelled; });
  neverDue.reset();
  auto queued = loop.StartTimer(1ms, true, [&] { ++cancelled; });
  ASSERT_EQ(loop.WaitForHandleOrMessage({}, 10s), Wait::kMessage);
  EXPECT_EQ(loop.PendingCount(), 1u);
  queued.reset();
  EXPECT_EQ(loop.PendingCount(), 0u);

  std::unique_ptr<loop::LoopTimer> self;  // the class, not the suite
  self = loop.StartTimer(1ms, true, [&] {
    ++selfCancelling;
    self.reset();
  });
  auto probeTimer = loop.StartTimer(50ms, false, [&] { probe = true; });
  ASSERT_TRUE(PumpUntil(loop, [&] { return probe; }));
  EXPECT_EQ(cancelled, 0);
  EXPECT_EQ(selfCancelling, 1);
}

// Stands for a long piece of work on the loop's thread, during which no messages are taken.
void SlowWork(std::chrono::milliseconds duration) {
  Event neverSet;
  EXPECT_FALSE(neverSet.Wait(duration));
}

TEST_F(LoopTimer, PeriodicTimerThatFellBehindDoesNotBurst) {
  int ticks = 0;
  loop.PostTask([] { SlowWork(200ms); });  // four periods
  auto timer = loop.StartTimer(50ms, true, [&] { ++ticks; });
  Message message;
  ASSERT_TRUE(loop.Get(&message));
  loop.Dispatch(message);  // the slow task
  ASSERT_TRUE(loop.Peek(&message, false));
  EXPECT_EQ(loop.PendingCount(), 1u);
  SlowWork(100ms);  // two more periods with the tick still waiting
  ASSERT_TRUE(loop.Peek(&message, false));
  EXPECT_EQ(loop.PendingCount(), 1u);
  // Taking everything without waiting: the missed periods are not made up for.
  for (int i = 0; i < 100 && loop.Peek(&message, true); ++i) loop.Dispatch(message);
  EXPECT_EQ(ticks, 1);
}

}  // namespace
}  // namespace vorlane::loop::test
