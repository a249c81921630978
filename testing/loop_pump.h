// Waiting on a message loop in tests: pumps and runs bounded in time, so that a fault fails the
// test instead of hanging it.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/loop/message_loop.h"

namespace vorlane::testkit {

using namespace std::chrono_literals;

// Pumps `loop` in steps of at most `step` until `done()` holds; false when it did not within
// `limit` (a watchdog, not a measure). Bounded in steps as well as in time.
template <class Done>
bool PumpUntil(loop::MessageLoop& loop, Done done, std::chrono::milliseconds limit = 10s,
               std::chrono::milliseconds step = 20ms) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (int round = 0; round < 1'000'000; ++round) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    loop.PumpStep(step);
  }
  return done();
}

// Runs `work` on a thread of its own while `loop` is pumped, until it returns or `limit` passes;
// true when it returned in time. The thread is joined either way.
template <class Work>
bool RunWhilePumping(loop::MessageLoop& loop, Work work, std::chrono::milliseconds limit = 20s) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    work();
    done = true;
  });
  const bool finished = PumpUntil(loop, [&] { return done.load(); }, limit);
  worker.join();
  return finished;
}

inline constexpr int kWatchdogExit = -999;

// Runs the loop; a watchdog thread posts a quit with kWatchdogExit if it has not ended in time.
int RunWithWatchdog(const std::shared_ptr<loop::MessageLoop>& loop, std::chrono::milliseconds limit = 60s);

}  // namespace vorlane::testkit
