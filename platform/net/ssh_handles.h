// Owning handles for libssh objects: one unique_ptr type per object kind, so that every early
// return frees what it created. Nothing outside this header frees a libssh object by hand.
#pragma once

#include <libssh/libssh.h>
#include <libssh/server.h>

#include <memory>

namespace vorlane::net {

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
struct SshHashFree {
  void operator()(unsigned char* hash) const { ssh_clean_pubkey_hash(&hash); }
};

using SshSessionPtr = std::unique_ptr<ssh_session_struct, SshSessionFree>;
using SshBindPtr = std::unique_ptr<ssh_bind_struct, SshBindFree>;
using SshKeyPtr = std::unique_ptr<ssh_key_struct, SshKeyFree>;
using SshEventPtr = std::unique_ptr<ssh_event_struct, SshEventFree>;
using SshChannelPtr = std::unique_ptr<ssh_channel_struct, SshChannelFree>;
using SshCharPtr = std::unique_ptr<char, SshCharFree>;
using SshHashPtr = std::unique_ptr<unsigned char, SshHashFree>;

}  // namespace vorlane::net
