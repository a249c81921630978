// The libssh handles the terminal server holds, by the names its code uses.
#pragma once

#include "platform/net/ssh_handles.h"

namespace vorlane::termserver {

using net::SshBindPtr;
using net::SshChannelPtr;
using net::SshCharPtr;
using net::SshEventPtr;
using net::SshKeyPtr;
using net::SshSessionPtr;

}  // namespace vorlane::termserver
