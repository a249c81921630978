#include "agent/sessions/session_table.h"

#include "platform/com/guid.h"

namespace vorlane::agent {

SessionTable::SessionTable(Clock clock) : clock_(std::move(clock)) {}

void SessionTable::Add(const std::string& id, std::time_t now) {
  std::lock_guard lock(lock_);
  lastUse_[id] = now;
}

std::optional<std::time_t> SessionTable::Lookup(const std::string& id) const {
  std::lock_guard lock(lock_);
  auto it = lastUse_.find(id);
  if (it == lastUse_.end()) return std::nullopt;
  return it->second;
}

bool SessionTable::Remove(const std::string& id) {
  std::lock_guard lock(lock_);
  return lastUse_.erase(id) > 0;
}

size_t SessionTable::Size() const {
  std::lock_guard lock(lock_);
  return lastUse_.size();
}

SessionState SessionTable::CheckAndRenew(const std::string& id, std::time_t now) {
  std::lock_guard lock(lock_);
  auto it = lastUse_.find(id);
  if (it == lastUse_.end()) return SessionState::kUnknown;
  if (now - it->second > kSessionTimeoutSeconds) {
    lastUse_.erase(it);
    return SessionState::kTimedOut;
  }
  it->second = now;
  return SessionState::kValid;
}

std::vector<std::string> SessionTable::Sweep(std::time_t now) {
  std::vector<std::string> removed;
  std::lock_guard lock(lock_);
  for (auto it = lastUse_.begin(); it != lastUse_.end();) {
    if (now - it->second > kSessionSweepAgeSeconds) {
      removed.push_back(it->first);
      it = lastUse_.erase(it);
    } else {
      ++it;
    }
  }
  return removed;
}

Result<std::string> NewSessionId() {
  auto guid = com::CreateGuid();
  VORLANE_RETURN_IF_ERROR(guid);
  return com::FormatGuid(guid.value());
}

}  // namespace vorlane::agent
