#include "platform/termserver/login_throttle.h"

#include <algorithm>

namespace vorlane::termserver {

void LoginThrottle::Prune(std::deque<Clock::time_point>& failures, Clock::time_point now) {
  while (!failures.empty() && now - failures.front() > kFailureWindow) failures.pop_front();
}

std::chrono::seconds LoginThrottle::DelayFor(const std::string& address, Clock::time_point now) {
  std::lock_guard lock(lock_);
  auto it = failures_.find(address);
  if (it == failures_.end()) return std::chrono::seconds(0);
  Prune(it->second, now);
  const auto count = static_cast<int>(it->second.size());
  if (count < kFailuresBeforeThrottle) return std::chrono::seconds(0);
  return std::min(kThrottleMax, kThrottleStep * (count - kFailuresBeforeThrottle + 1));
}

void LoginThrottle::RecordFailure(const std::string& address, Clock::time_point now) {
  std::lock_guard lock(lock_);
  if (failures_.size() >= kMaxAddresses && failures_.find(address) == failures_.end()) {
    // Forget the address whose last failure is the oldest.
    auto oldest = failures_.begin();
    for (auto it = failures_.begin(); it != failures_.end(); ++it) {
      if (it->second.empty() || (!oldest->second.empty() && it->second.back() < oldest->second.back())) oldest = it;
    }
    failures_.erase(oldest);
  }
  auto& failures = failures_[address];
  Prune(failures, now);
  failures.push_back(now);
  // Only the window's worth matters, and the delay stops growing at kThrottleMax.
  const size_t keep = static_cast<size_t>(kFailuresBeforeThrottle + kThrottleMax / kThrottleStep);
  while (failures.size() > keep) failures.pop_front();
}

void LoginThrottle::RecordSuccess(const std::string& address) {
  std::lock_guard lock(lock_);
  failures_.erase(address);
}

}  // namespace vorlane::termserver
