// Helpers shared by the loop tests: a fresh loop per test, and pumps bounded in time so that a
// fault fails a test instead of hanging it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/loop/message_loop.h"

namespace vorlane::loop::test {

using namespace std::chrono_literals;

// The test thread's loop, closed at the end so that the next test gets an empty one.
struct FreshLoop {
  FreshLoop() : loop(MessageLoop::ForCurrentThread()) {}
  ~FreshLoop() { loop->Close(); }
  std::shared_ptr<MessageLoop> loop;
};

// Pumps until `done()` holds; false when it did not within `limit` (a watchdog, not a measure).
template <class Done>
bool PumpUntil(MessageLoop& loop, Done done, std::chrono::milliseconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    loop.PumpStep(20ms);
  }
  return true;
}

inline constexpr int kWatchdogExit = -999;

// Runs the loop; a watchdog thread posts a quit with kWatchdogExit if it has not ended in time.
inline int RunWithWatchdog(const std::shared_ptr<MessageLoop>& loop, std::chrono::milliseconds limit = 60s) {
  std::mutex lock;
  std::condition_variable changed;
  bool finished = false;  // guarded by lock
  std::thread watchdog([&] {
    std::unique_lock guard(lock);
    if (!changed.wait_for(guard, limit, [&] { return finished; })) loop->PostQuit(kWatchdogExit);
  });
  const int code = loop->Run();
  {
    std::lock_guard guard(lock);
    finished = true;
  }
  changed.notify_all();
  watchdog.join();
  return code;
}

}  // namespace vorlane::loop::test
