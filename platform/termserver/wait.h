// The one way the server's threads wait on descriptors: poll, with one rule for time and signals.
#pragma once

#include <poll.h>

#include <chrono>
#include <optional>
#include <span>

namespace vorlane::termserver {

using WaitClock = std::chrono::steady_clock;

// Waits until one of `fds` is ready or `until` passes (without it, for as long as it takes). A
// signal does not end the wait; a wait of more than a minute ends after one, for the caller to
// look again. The number of descriptors ready, 0 when the time is up, -1 when poll failed.
int WaitReady(std::span<pollfd> fds, std::optional<WaitClock::time_point> until = std::nullopt);
inline int WaitReady(pollfd& fd, std::optional<WaitClock::time_point> until = std::nullopt) {
  return WaitReady(std::span<pollfd>(&fd, 1), until);
}

}  // namespace vorlane::termserver
