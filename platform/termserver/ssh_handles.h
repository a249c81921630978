// Owning wrappers for libssh objects, so that every early return frees what it created.
#pragma once

#include <libssh/libssh.h>
#include <libssh/server.h>

#include <memory>

namespace vorlane::termserver {

struct SshSessionFree {
  void operator()(ssh_session session) const { ssh_free(session); }
};
struct SshBindFree {
  void operator()(ssh_bind bind) const { ssh_bind_free(bind); }
};
struct SshKeyFree {
  void operator()(ssh_key key) const { ssh_key_free(key); }
};
struct SshEventFree {
  void operator()(ssh_event event) const { ssh_event_free(event); }
};
// A channel belongs to its session: it must be freed before the session, and its callbacks
// removed first (ssh_channel_free may keep the channel until the peer confirms the close).
struct SshChannelFree {
  void operator()(ssh_channel channel) const { ssh_channel_free(channel); }
};
struct SshCharFree {
  void operator()(char* text) const { ssh_string_free_char(text); }
};

using SshSessionPtr = std::unique_ptr<ssh_session_struct, SshSessionFree>;
using SshBindPtr = std::unique_ptr<ssh_bind_struct, SshBindFree>;
using SshKeyPtr = std::unique_ptr<ssh_key_struct, SshKeyFree>;
using SshEventPtr = std::unique_ptr<ssh_event_struct, SshEventFree>;
using SshChannelPtr = std::unique_ptr<ssh_channel_struct, SshChannelFree>;
using SshCharPtr = std::unique_ptr<char, SshCharFree>;

}  // namespace vorlane::termserver
