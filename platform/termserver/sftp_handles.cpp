#include "platform/termserver/sftp_handles.h"

#include <utility>

namespace vorlane::termserver::sftp {

std::optional<std::string> HandleTable::Add(OpenHandle handle) {
  if (handles_.size() >= kMaxOpenHandles) return std::nullopt;
  std::string name = std::to_string(next_++);
  handles_.emplace(name, std::move(handle));
  return name;
}

OpenHandle* HandleTable::Find(const std::string& handle) {
  auto it = handles_.find(handle);
  return it == handles_.end() ? nullptr : &it->second;
}

std::optional<OpenHandle> HandleTable::Take(const std::string& handle) {
  auto node = handles_.extract(handle);
  if (node.empty()) return std::nullopt;
  return std::move(node.mapped());
}

}  // namespace vorlane::termserver::sftp
