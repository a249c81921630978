// The open files and folders of one SFTP session, each known to the client by an opaque
// handle string. The table is capped so a client cannot exhaust the process's descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/base/unique_fd.h"
#include "platform/termserver/sftp_fs.h"

namespace vorlane::termserver::sftp {

inline constexpr size_t kMaxOpenHandles = 256;

struct OpenHandle {
  UniqueFd file;     // set for a file
  DirPtr dir;        // set for a folder
  bool writable = false;
  std::string realPath;
};

class HandleTable {
 public:
  // The new handle, or nothing when the table is full.
  std::optional<std::string> Add(OpenHandle handle);
  // Nullptr for a handle that is unknown or already closed.
  OpenHandle* Find(const std::string& handle);
  // The entry taken out of the table (to close it), or nothing.
  std::optional<OpenHandle> Take(const std::string& handle);
  size_t size() const { return handles_.size(); }

 private:
  std::map<std::string, OpenHandle> handles_;
  // Never reused, so a stale handle of a closed file never reaches a newer one.
  uint64_t next_ = 1;
};

}  // namespace vorlane::termserver::sftp
