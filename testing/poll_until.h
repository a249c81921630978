// Waiting in tests: poll a condition until it holds or a deadline passes, never a fixed sleep.
#pragma once

#include <poll.h>

#include <chrono>

namespace vorlane::testkit {

using namespace std::chrono_literals;

// Checks `done()` every `step` until it holds (true) or `limit` has passed (false); the
// condition is checked once more at the deadline so that a late success still counts.
template <class Done>
bool PollUntil(Done done, std::chrono::milliseconds limit = 10s, std::chrono::milliseconds step = 20ms) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    ::poll(nullptr, 0, static_cast<int>(step.count()));
  }
  return true;
}

}  // namespace vorlane::testkit
