// Module thread accounting: the token's count, the threads that take it, and what a thread that
// cannot start leaves behind (nothing). The test program is a module of its own, so the counts
// here are its own.
#include "platform/com/module_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <system_error>
#include <utility>

#include "platform/loop/message_loop.h"

namespace vorlane::com {
namespace {

using namespace std::chrono_literals;

constexpr auto kWatchdog = 10s;

long Threads() { return ModuleThreadCount().load(); }

// Polls `done` until it holds or the watchdog runs out; bounded in steps as well.
template <class Done>
bool PollUntil(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + kWatchdog;
  loop::Event never;
  for (int step = 0; step < 100'000 && std::chrono::steady_clock::now() < deadline; ++step) {
    if (done()) return true;
    never.Wait(1ms);
  }
  return done();
}

// Arms the thread creation failures for one test and drops what is left of them afterwards.
class FailingCreations {
 public:
  explicit FailingCreations(int count) { loop::testing::FailNextThreadCreations(count); }
  ~FailingCreations() { loop::testing::FailNextThreadCreations(0); }
  FailingCreations(const FailingCreations&) = delete;
  FailingCreations& operator=(const FailingCreations&) = delete;
};

class ModuleThread : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Threads(), 0);
    ASSERT_EQ(DllCanUnloadNowHelper(), S_OK);
  }
  void TearDown() override {
    EXPECT_TRUE(PollUntil([] { return Threads() == 0; })) << Threads() << " thread(s) still counted";
    EXPECT_EQ(DllCanUnloadNowHelper(), S_OK);
  }
};

TEST_F(ModuleThread, TokensCountOncePerLiveCopyAndMovesTransferTheCount) {
  {
    ModuleThreadToken first;
    EXPECT_EQ(Threads(), 1);
    EXPECT_EQ(DllCanUnloadNowHelper(), S_FALSE);
    ModuleThreadToken copy(first);
    EXPECT_EQ(Threads(), 2);
    ModuleThreadToken moved(std::move(copy));
    EXPECT_EQ(Threads(), 2);
    {
      auto inFunction = std::function<void()>([token = ModuleThreadToken()] {});
      EXPECT_EQ(Threads(), 3);
      std::function<void()> copied = inFunction;
      EXPECT_EQ(Threads(), 4);
    }
    EXPECT_EQ(Threads(), 2);
  }
  EXPECT_EQ(Threads(), 0);
}

TEST_F(ModuleThread, CountsFromBeforeTheStartUntilTheBodyIsGone) {
  loop::Event release;
  loop::Event running;
  std::unique_ptr<loop::WaitableThread> thread = MakeModuleThread([&] {
    running.Set();
    release.Wait(kWatchdog);
  });
  ASSERT_TRUE(running.Wait(kWatchdog));
  EXPECT_EQ(Threads(), 1);
  EXPECT_EQ(DllCanUnloadNowHelper(), S_FALSE);
  release.Set();
  ASSERT_TRUE(thread->Join(kWatchdog));
  EXPECT_EQ(Threads(), 0) << "given back before the thread counts as ended";
}

// Whichever way a thread or job is started, a refused start leaves no count, no captured object and no
// run of the body behind.
TEST_F(ModuleThread, RefusedStartLeavesNothingBehind) {
  struct Starter {
    const char* name;
    int (*start)(std::function<void()> body);  // the errno-style failure, 0 when started
  };
  const Starter starters[] = {
      {"MakeModuleThread",
       [](std::function<void()> body) {
         try {
           MakeModuleThread(std::move(body))->Abandon();
           return 0;
         } catch (const std::system_error& e) {
           return e.code().value();
         }
       }},
      {"RunModuleJob", [](std::function<void()> body) { return RunModuleJob(std::move(body)); }},
  };
  for (const Starter& starter : starters) {
    SCOPED_TRACE(starter.name);
    FailingCreations failing(1);
    auto captured = std::make_shared<int>(0);
    std::atomic<bool> ran{false};
    EXPECT_EQ(starter.start([captured, &ran] { ran = true; }), EAGAIN);
    EXPECT_EQ(captured.use_count(), 1);
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(Threads(), 0);
    EXPECT_EQ(DllCanUnloadNowHelper(), S_OK);

    // The failure is used up: the next start runs.
    auto finished = std::make_shared<loop::Event>();
    EXPECT_EQ(starter.start([finished] { finished->Set(); }), 0);
    EXPECT_TRUE(finished->Wait(kWatchdog));
    EXPECT_TRUE(PollUntil([] { return Threads() == 0; }));
  }
}

}  // namespace
}  // namespace vorlane::com
