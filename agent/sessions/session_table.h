// The sessions handed out at login: identifier → time of last use, in whole seconds.
#pragma once

#include <ctime>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/base/result.h"

namespace vorlane::agent {

// A session not used for longer than this is refused by the next request.
inline constexpr std::time_t kSessionTimeoutSeconds = 300;
// The sweep removes sessions idle for longer than two timeouts.
inline constexpr std::time_t kSessionSweepAgeSeconds = 2 * kSessionTimeoutSeconds;

// What a request's session identifier turned out to be.
enum class SessionState { kUnknown, kTimedOut, kValid };

// One table for the whole agent, used from several threads at once: the server thread (logins,
// and the quick requests it answers itself), the request lanes' workers (every other request)
// and the sweep's timer thread. Every operation takes the table's lock, and the sweep holds it
// for its whole walk.
class SessionTable {
 public:
  using Clock = std::function<std::time_t()>;

  explicit SessionTable(Clock clock = [] { return std::time(nullptr); });

  // The current time, from the table's clock.
  std::time_t Now() const { return clock_(); }

  void Add(const std::string& id, std::time_t now);  // insert or overwrite
  std::optional<std::time_t> Lookup(const std::string& id) const;
  bool Remove(const std::string& id);
  size_t Size() const;

  // The request check in one step: unknown; older than the timeout (strictly), which removes
  // it; or valid, which renews it with `now`.
  SessionState CheckAndRenew(const std::string& id, std::time_t now);

  // Removes every session idle for more than kSessionSweepAgeSeconds and returns their ids.
  std::vector<std::string> Sweep(std::time_t now);

 private:
  const Clock clock_;
  mutable std::mutex lock_;
  std::unordered_map<std::string, std::time_t> lastUse_;  // guarded by lock_
};

// A new session identifier: a random GUID as 36 upper-case hex characters with dashes.
Result<std::string> NewSessionId();

}  // namespace vorlane::agent
