#include "platform/termserver/wait.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace vorlane::termserver {

int WaitReady(std::span<pollfd> fds, std::optional<WaitClock::time_point> until) {
  constexpr int64_t kLongestWaitMs = 60'000;
  for (;;) {
    int64_t timeout = kLongestWaitMs;
    if (until) {
      const auto now = WaitClock::now();
      // Rounded up: waking a little early would only spin until the time.
      timeout = *until <= now ? 0 : std::chrono::ceil<std::chrono::milliseconds>(*until - now).count();
    }
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(std::min(timeout, kLongestWaitMs)));
    if (ready >= 0 || errno != EINTR) return ready;
  }
}

}  // namespace vorlane::termserver
