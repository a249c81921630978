// Reading and creating the SSH host key files (PrepareHostKeys is declared in ssh_session.h).
#pragma once

#include <filesystem>

#include "platform/base/result.h"
#include "platform/termserver/ssh_handles.h"

namespace vorlane::termserver {

// Loads a private host key of the given type. A file that group or others may read is made
// private (0600) first: a host key anyone could read would let them impersonate the server.
Result<SshKeyPtr> LoadHostKey(const std::filesystem::path& file, enum ssh_keytypes_e type);

}  // namespace vorlane::termserver
