// Slows down password guessing: after kFailuresBeforeThrottle failed logins from one address
// within kFailureWindow, every further try from that address waits kThrottleStep longer than
// the one before, up to kThrottleMax.
#pragma once

#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/termserver/limits.h"

namespace vorlane::termserver {

class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  // How long a try from `address` must wait before it is decided.
  std::chrono::seconds DelayFor(const std::string& address, Clock::time_point now);
  void RecordFailure(const std::string& address, Clock::time_point now);
  void RecordSuccess(const std::string& address);

 private:
  // Addresses remembered at most; the quietest are forgotten first, so a flood of addresses
  // cannot grow the table without bound.
  static constexpr size_t kMaxAddresses = 4096;

  void Prune(std::deque<Clock::time_point>& failures, Clock::time_point now);

  std::mutex lock_;
  std::unordered_map<std::string, std::deque<Clock::time_point>> failures_;  // guarded by lock_
};

}  // namespace vorlane::termserver
