#include "platform/loop/message_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/loop/tests/loop_test_support.h"

namespace vorlane::loop::test {
namespace {

using Step = MessageLoop::StepResult;
using LoopReentrancy = LoopTest;
using LoopQuit = LoopTest;
using LoopTarget = LoopTest;

TEST(LoopPost, TasksFromManyThreadsAllArriveInOrderPerThread) {
  FreshLoop fresh;
  const auto& loop = fresh.loop;
  constexpr int kThreads = 8;
  constexpr int kPerThread = 10000;
  std::vector<std::vector<int>> seen(kThreads);  // written by the loop's thread only
  int total = 0;
  std::atomic<int> refused{0};
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const bool posted = loop->PostTask([&, t, i] {
          seen[t].push_back(i);
          if (++total == kThreads * kPerThread) loop->PostQuit(0);
        });
        if (!posted) ++refused;
      }
    });
  }
  const int code = RunWithWatchdog(loop);
  for (auto& poster : posters) poster.join();

  EXPECT_EQ(code, 0);
  EXPECT_EQ(refused.load(), 0);
  EXPECT_EQ(total, kThreads * kPerThread);
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<size_t>(kPerThread)) << "thread " << t;
    for (int i = 0; i < kPerThread; ++i) {
      ASSERT_EQ(seen[t][i], i) << "thread " << t;
    }
  }
  EXPECT_EQ(loop->PendingCount(), 0u);
}

TEST_F(LoopReentrancy, NestedPumpsTakeTheNextMessagesInOrderAndNothingRunsTwice) {
  std::vector<std::string> order;
  loop.PostTask([&] {
    order.push_back("A");
    EXPECT_EQ(loop.PumpStep(0ms), Step::kDispatched);  // B
    Message message;
    ASSERT_TRUE(loop.Get(&message));  // C
    loop.Dispatch(message);
    order.push_back("A end");
  });
  loop.PostTask([&] { order.push_back("B"); });
  loop.PostTask([&] { order.push_back("C"); });
  loop.PostTask([&] {
    order.push_back("D");
    // A nested Run ends at the first quit, the outer one at the next.
    order.push_back("inner exit " + std::to_string(loop.Run()));
  });
  loop.PostTask([&] { order.push_back("E"); });
  loop.PostQuit(1);
  loop.PostTask([&] { order.push_back("F"); });
  loop.PostQuit(2);
  EXPECT_EQ(RunWithWatchdog(fresh.loop), 2);
  EXPECT_EQ(order, (std::vector<std::string>{"A", "B", "C", "A end", "D", "E", "inner exit 1", "F"}));
  EXPECT_EQ(loop.PumpStep(0ms), Step::kIdle);
}

TEST_F(LoopQuit, RunAndGetEndAtTheQuitWithItsExitCode) {
  bool before = false, after = false;
  loop.PostTask([&] { before = true; });
  loop.PostQuit(7);
  loop.PostTask([&] { after = true; });
  EXPECT_EQ(RunWithWatchdog(fresh.loop), 7);
  EXPECT_TRUE(before);
  EXPECT_FALSE(after);
  EXPECT_EQ(loop.PendingCount(), 1u);

  loop.PostQuit(3);
  Message message;
  ASSERT_TRUE(loop.Get(&message));  // the task left behind
  loop.Dispatch(message);
  EXPECT_TRUE(after);
  int code = 0;
  EXPECT_FALSE(loop.Get(&message, &code));
  EXPECT_EQ(message.kind, Message::Kind::kQuit);
  EXPECT_EQ(code, 3);
}

TEST_F(LoopQuit, PumpStepPutsTheQuitBackSoTheOuterRunEnds) {
  bool late = false;
  std::vector<Step> steps;
  loop.PostTask([&] {
    loop.PostQuit(4);
    loop.PostTask([&] { late = true; });
    steps.push_back(loop.PumpStep(0ms));
    steps.push_back(loop.PumpStep(0ms));  // still the same quit, still first
  });
  EXPECT_EQ(RunWithWatchdog(fresh.loop), 4);
  EXPECT_EQ(steps, (std::vector<Step>{Step::kQuit, Step::kQuit}));
  EXPECT_FALSE(late);
  EXPECT_EQ(loop.PendingCount(), 1u);
}

TEST_F(LoopQuit, PeekLeavesOrTakesTheFirstMessage) {
  Message message;
  EXPECT_FALSE(loop.Peek(&message, false));
  int runs = 0;
  loop.PostTask([&] { ++runs; });
  ASSERT_TRUE(loop.Peek(&message, false));
  ASSERT_TRUE(loop.Peek(&message, false));
  EXPECT_EQ(loop.PendingCount(), 1u);
  ASSERT_TRUE(loop.Peek(&message, true));
  EXPECT_EQ(loop.PendingCount(), 0u);
  loop.Dispatch(message);
  EXPECT_EQ(runs, 1);
}

TEST_F(LoopTarget, PlainMessagesReachTheHandlerUntilTheTargetIsDestroyed) {
  struct Received {
    uint32_t id;
    uintptr_t wparam;
    intptr_t lparam;
    bool operator==(const Received&) const = default;
  };
  std::vector<Received> got, gotByOther;
  auto target = loop.CreateTarget([&](uint32_t id, uintptr_t w, intptr_t l) { got.push_back({id, w, l}); });
  auto other = loop.CreateTarget([&](uint32_t id, uintptr_t w, intptr_t l) { gotByOther.push_back({id, w, l}); });
  ASSERT_TRUE(loop.PostMessage(*target, 10, 1, -1));
  std::thread([&] { EXPECT_TRUE(fresh.loop->PostMessage(*target, 11, 2, -2)); }).join();
  loop.PostQuit(0);
  EXPECT_EQ(RunWithWatchdog(fresh.loop), 0);
  EXPECT_EQ(got, (std::vector<Received>{{10, 1, -1}, {11, 2, -2}}));

  // Destroyed with messages queued: they are dropped, the other target's are not.
  loop.PostMessage(*target, 12);
  loop.PostMessage(*other, 20, 5, 6);
  loop.PostMessage(*target, 13);
  Message taken;
  ASSERT_TRUE(loop.Peek(&taken, true));  // taken before the target dies, dispatched after
  target.reset();
  EXPECT_EQ(loop.PendingCount(), 1u);
  loop.Dispatch(taken);
  loop.PostQuit(0);
  EXPECT_EQ(RunWithWatchdog(fresh.loop), 0);
  EXPECT_EQ(got.size(), 2u);
  EXPECT_EQ(gotByOther, (std::vector<Received>{{20, 5, 6}}));
}

TEST_F(LoopTarget, TargetDestroyedInsideItsOwnHandler) {
  auto token = std::make_shared<int>(0);
  int calls = 0;
  std::unique_ptr<MessageTarget> target;
  target = loop.CreateTarget([&, token](uint32_t, uintptr_t, intptr_t) {
    ++calls;
    target.reset();
    ++*token;  // the handler is still alive after its target is gone
  });
  loop.PostMessage(*target, 1);
  loop.PostMessage(*target, 2);
  loop.PostQuit(0);
  EXPECT_EQ(RunWithWatchdog(fresh.loop), 0);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(*token, 1);
  EXPECT_EQ(token.use_count(), 1);  // the handler was released once it returned
}

TEST(LoopClosed, EndOfTheThreadClosesTheLoopAndDestroysQueuedTasks) {
  std::promise<std::shared_ptr<MessageLoop>> handOver;
  Event release;
  WaitableThread thread([&] {
    EXPECT_EQ(MessageLoop::Current(), nullptr);
    auto loop = MessageLoop::ForCurrentThread();
    EXPECT_EQ(MessageLoop::Current(), loop);
    EXPECT_TRUE(loop->IsLoopThread());
    handOver.set_value(loop);
    release.Wait(30s);  // ends without ever running its loop
  });
  std::shared_ptr<MessageLoop> loop = handOver.get_future().get();
  EXPECT_FALSE(loop->IsLoopThread());
  auto token = std::make_shared<int>(0);
  std::atomic<bool> ran{false};
  ASSERT_TRUE(loop->PostTask([token, &ran] { ran = true; }));
  EXPECT_EQ(token.use_count(), 2);
  release.Set();
  ASSERT_TRUE(thread.Join(10s));

  EXPECT_TRUE(loop->IsClosed());
  EXPECT_FALSE(ran.load());
  EXPECT_EQ(token.use_count(), 1);
  EXPECT_EQ(loop->PendingCount(), 0u);
  EXPECT_FALSE(loop->PostTask([token] {}));
  EXPECT_EQ(token.use_count(), 1);
  EXPECT_FALSE(loop->PostQuit(0));
}

TEST(LoopClosed, CloseIsIdempotentDropsEverythingAndTheThreadGetsANewLoop) {
  auto first = MessageLoop::ForCurrentThread();
  EXPECT_EQ(MessageLoop::Current(), first);
  // A queued task whose captures post on destruction: Close must not hold its lock meanwhile.
  struct PostsWhenDestroyed {
    MessageLoop* loop;
    bool* accepted;
    ~PostsWhenDestroyed() { *accepted = loop->PostTask([] {}); }
  };
  bool accepted = true;
  std::shared_ptr<PostsWhenDestroyed> probe(new PostsWhenDestroyed{first.get(), &accepted});
  first->PostTask([probe] {});
  probe.reset();
  auto target = first->CreateTarget([](uint32_t, uintptr_t, intptr_t) {});
  auto timer = first->StartTimer(1ms, true, [] {});
  first->Close();
  first->Close();
  EXPECT_FALSE(accepted);
  EXPECT_TRUE(first->IsClosed());
  EXPECT_EQ(MessageLoop::Current(), nullptr);
  Message message;
  int code = -1;
  EXPECT_FALSE(first->Get(&message, &code));  // nothing can arrive: ends like a quit
  EXPECT_EQ(code, 0);
  target.reset();
  timer.reset();

  auto second = MessageLoop::ForCurrentThread();
  EXPECT_NE(second, first);
  EXPECT_FALSE(second->IsClosed());
  EXPECT_TRUE(second->PostTask([] {}));
  second->Close();
}

}  // namespace
}  // namespace vorlane::loop::test
