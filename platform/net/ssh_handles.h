// Owning handles for libssh objects: one unique_ptr type per object kind, so that every early
// return frees what it created. Nothing outside this header frees a libssh object by hand.
#pragma once

#include <libssh/libssh.h>
#include <libssh/server.h>

#include <memory>

#include "platform/base/free_with.h"

namespace vorlane::net {

inline void SshHashFree(unsigned char* hash) { ssh_clean_pubkey_hash(&hash); }

using SshSessionPtr = std::unique_ptr<ssh_session_struct, FreeWith<ssh_free>>;
using SshBindPtr = std::unique_ptr<ssh_bind_struct, FreeWith<ssh_bind_free>>;
using SshKeyPtr = std::unique_ptr<ssh_key_struct, FreeWith<ssh_key_free>>;
using SshEventPtr = std::unique_ptr<ssh_event_struct, FreeWith<ssh_event_free>>;
// A channel belongs to its session: it must be freed before the session, and its callbacks
// removed first (ssh_channel_free may keep the channel until the peer confirms the close).
using SshChannelPtr = std::unique_ptr<ssh_channel_struct, FreeWith<ssh_channel_free>>;
using SshCharPtr = std::unique_ptr<char, FreeWith<ssh_string_free_char>>;
using SshHashPtr = std::unique_ptr<unsigned char, FreeWith<SshHashFree>>;

}  // namespace vorlane::net
