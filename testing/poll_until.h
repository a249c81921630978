// Waiting in tests: poll a condition until it holds or a deadline passes, never a fixed sleep.
#pragma once

#include <poll.h>

#include <chrono>

namespace vorlane::testkit {

using namespace std::chrono_literals;

// Checks `done()` every `step` until it holds (true) or `limit` has passed (false); the
// condition is checked once more at the end so that a late success still counts. Bounded in
// rounds as well as in time.
template <class Done>
bool PollUntil(Done done, std::chrono::milliseconds limit = 10s, std::chrono::milliseconds step = 20ms) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  const long long rounds = limit / (step.count() > 0 ? step : 1ms) + 1;
  for (long long round = 0; round < rounds; ++round) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) break;
    ::poll(nullptr, 0, static_cast<int>(step.count()));
  }
  return done();
}

}  // namespace vorlane::testkit
