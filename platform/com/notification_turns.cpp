#include "platform/com/notification_turns.h"

namespace vorlane::com {

void NotificationTurns::Acquire() {
  std::unique_lock guard(lock_);
  const std::thread::id self = std::this_thread::get_id();
  if (depth_ > 0 && holder_ == self) {
    ++depth_;
    return;
  }
  const uint64_t ticket = nextTicket_++;
  released_.wait(guard, [&] { return depth_ == 0 && serving_ == ticket; });
  holder_ = self;
  depth_ = 1;
}

void NotificationTurns::Release() noexcept {
  {
    std::lock_guard guard(lock_);
    if (--depth_ > 0) return;
    holder_ = {};
    ++serving_;
  }
  released_.notify_all();
}

}  // namespace vorlane::com
