// Internal: locked read-modify-write of a whole file with atomic replacement.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/base/result.h"

namespace vorlane::profile::detail {

// Turns the current content into the new one, or returns nullopt when nothing needs to change
// (the file is then left exactly as it is, not even rewritten).
using Edit = std::function<std::optional<std::string>(const std::string& current)>;

// Runs `edit` on the content of `file` while holding an exclusive flock() on it, and puts the
// result in place by rename(), so concurrent readers see the old or the new file and concurrent
// writers (threads or processes using this function) are serialised without lost updates.
//
// A missing file is created (empty, mode 0666 & ~umask) when `createIfMissing` is set; otherwise
// the call succeeds without running `edit`. If `file` is a symbolic link, the link is followed
// so that the file it points to is replaced and the link stays a link.
Status ModifyFile(const std::filesystem::path& file, bool createIfMissing, const Edit& edit);

}  // namespace vorlane::profile::detail
