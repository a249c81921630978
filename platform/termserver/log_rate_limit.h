// Lets a log line through at most once per interval, so that a flood of like events (one per
// refused connection, say) cannot flood the log; the line let through says how many were held
// back before it. Not thread-safe: one user thread, or a lock of the user's.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

namespace vorlane::termserver {

class LogRateLimit {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LogRateLimit(Clock::duration interval) : interval_(interval) {}

  // Empty: hold this line back. Otherwise write it, with the number of lines held back since the
  // last one written.
  std::optional<size_t> Allow(Clock::time_point now) {
    if (written_ && now - last_ < interval_) {
      ++heldBack_;
      return std::nullopt;
    }
    written_ = true;
    last_ = now;
    const size_t heldBack = heldBack_;
    heldBack_ = 0;
    return heldBack;
  }

 private:
  const Clock::duration interval_;
  bool written_ = false;
  Clock::time_point last_{};
  size_t heldBack_ = 0;
};

}  // namespace vorlane::termserver
