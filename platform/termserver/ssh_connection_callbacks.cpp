// The libssh callbacks of SshServerConnection. Each one catches everything: an exception must never
// unwind through libssh's C frames.
#include <algorithm>
#include <cstring>
#include <exception>
#include <string>

#include "platform/debuglog/debuglog.h"
#include "platform/termserver/limits.h"
#include "platform/termserver/ssh_connection.h"

namespace vorlane::termserver {
namespace {

constexpr size_t kMaxChannels = 8;
constexpr int kRefuse = 1;  // channel request callbacks: non-zero refuses
constexpr int kAccept = 0;
constexpr int kNotHandled = 1;  // message callback: libssh sends its default (negative) reply
constexpr int kHandled = 0;

std::string_view Text(const char* text) { return text == nullptr ? std::string_view() : std::string_view(text); }

void LogFailure(const char* where) {
  try {
    throw;
  } catch (const std::exception& error) {
    debuglog::Write(std::string("termserver: ssh ") + where + " failed: " + error.what());
  } catch (...) {
    debuglog::Write(std::string("termserver: ssh ") + where + " failed");
  }
}

}  // namespace

// Shared by password and keyboard-interactive logins, so that both count against one limit.
bool SshServerConnection::CheckPassword(std::string_view user, std::string_view password) {
  if (authenticated_ || loginFailed_) return false;
  bool allowed = false;
  if (user.size() > kMaxCredentialBytes || password.size() > kMaxCredentialBytes) {
    debuglog::Write("termserver: ssh login from " + connection_.RemoteAddress() + " refused: credentials too long");
  } else {
    allowed = connection_.LoginPassword(user, password);
  }
  if (allowed) {
    authenticated_ = true;
    lastActivity_ = Clock::now();
    return true;
  }
  if (++failedLogins_ >= kMaxPasswordTries) loginFailed_ = true;
  return false;
}

int SshServerConnection::OnAuthPassword(ssh_session, const char* user, const char* password, void* userdata) {
  auto& self = *static_cast<SshServerConnection*>(userdata);
  CallbackScope scope(self);
  try {
    return self.CheckPassword(Text(user), Text(password)) ? SSH_AUTH_SUCCESS : SSH_AUTH_DENIED;
  } catch (...) {
    LogFailure("password login");
    return SSH_AUTH_DENIED;
  }
}

// Everything the server callbacks do not cover arrives here. Only keyboard-interactive logins
// (which OpenSSH tries after password) are served, with one prompt checked like a password;
// the rest gets libssh's default reply, which refuses (public keys, forwardings, ...).
int SshServerConnection::OnMessage(ssh_session session, ssh_message message, void* userdata) {
  auto& self = *static_cast<SshServerConnection*>(userdata);
  CallbackScope scope(self);
  try {
    if (ssh_message_type(message) != SSH_REQUEST_AUTH || ssh_message_subtype(message) != SSH_AUTH_METHOD_INTERACTIVE ||
        self.authenticated_ || self.loginFailed_) {
      return kNotHandled;
    }
    if (!ssh_message_auth_kbdint_is_response(message)) {
      std::string_view user = Text(ssh_message_auth_user(message));
      self.kbdintUser_.assign(user.substr(0, kMaxCredentialBytes + 1));
      const char* prompts[] = {"Password: "};
      char echo[] = {0};
      return ssh_message_auth_interactive_request(message, "", "", 1, prompts, echo) == SSH_OK ? kHandled : kNotHandled;
    }
    if (ssh_userauth_kbdint_getnanswers(session) != 1) return kNotHandled;
    if (!self.CheckPassword(self.kbdintUser_, Text(ssh_userauth_kbdint_getanswer(session, 0)))) return kNotHandled;
    ssh_message_auth_reply_success(message, 0);
    return kHandled;
  } catch (...) {
    LogFailure("message");
    return kNotHandled;
  }
}

ssh_channel SshServerConnection::OnChannelOpen(ssh_session session, void* userdata) {
  auto& self = *static_cast<SshServerConnection*>(userdata);
  CallbackScope scope(self);
  try {
    // Nothing but a login is acted on before the login succeeded.
    if (!self.authenticated_ || self.closing_ || self.channels_.size() >= kMaxChannels) return nullptr;
    SshChannelPtr handle(ssh_channel_new(session));
    if (!handle) return nullptr;
    auto channel = std::make_unique<Channel>();
    channel->owner = &self;
    channel->number = self.nextChannel_;
    ssh_channel_callbacks_struct& callbacks = channel->callbacks;
    ssh_callbacks_init(&callbacks);
    callbacks.userdata = channel.get();
    callbacks.channel_data_function = &SshServerConnection::OnData;
    callbacks.channel_eof_function = &SshServerConnection::OnEof;
    callbacks.channel_close_function = &SshServerConnection::OnClose;
    callbacks.channel_pty_request_function = &SshServerConnection::OnPty;
    callbacks.channel_pty_window_change_function = &SshServerConnection::OnWindowChange;
    callbacks.channel_shell_request_function = &SshServerConnection::OnShell;
    callbacks.channel_exec_request_function = &SshServerConnection::OnExec;
    callbacks.channel_subsystem_request_function = &SshServerConnection::OnSubsystem;
    if (ssh_set_channel_callbacks(handle.get(), &callbacks) != SSH_OK) return nullptr;
    channel->handle = std::move(handle);
    ssh_channel raw = channel->handle.get();
    self.channels_.push_back(std::move(channel));
    ++self.nextChannel_;
    self.lastActivity_ = Clock::now();
    return raw;
  } catch (...) {
    LogFailure("channel open");
    return nullptr;
  }
}

int SshServerConnection::OnWake(socket_t, int, void* userdata) {
  // Only noted: the loop drains the output once dopoll has returned.
  static_cast<SshServerConnection*>(userdata)->wakeReady_ = true;
  return 0;
}

// Takes only what the channel has room for; libssh keeps the rest (see the header). `data` is
// everything libssh holds for the channel, bytes it held before included.
int SshServerConnection::OnData(ssh_session, ssh_channel, void* data, uint32_t length, int isStderr, void* userdata) {
  auto& channel = *static_cast<Channel*>(userdata);
  CallbackScope scope(*channel.owner);
  try {
    channel.owner->lastActivity_ = Clock::now();
    // Input before a service took the channel, or after it is given up, is dropped.
    if (channel.kind == SshChannelKind::kUndecided || channel.closeNow || channel.peerClosed) {
      return static_cast<int>(length);
    }
    const size_t taken = std::min<size_t>(length, channel.InputRoom());
    channel.input.append(static_cast<const char*>(data), taken);
    // The loop pulls held bytes from the standard stream only; what does not fit of the other
    // is dropped rather than left where nothing reads it.
    if (isStderr != 0) return static_cast<int>(length);
    channel.inputHeld = taken < length;
    return static_cast<int>(taken);
  } catch (...) {
    LogFailure("channel data");
    channel.closeNow = true;
    return static_cast<int>(length);
  }
}

void SshServerConnection::OnEof(ssh_session, ssh_channel, void* userdata) {
  auto& channel = *static_cast<Channel*>(userdata);
  CallbackScope scope(*channel.owner);
  try {
    channel.owner->pending_.push_back({Pending::Kind::kEof, channel.number});
  } catch (...) {
    LogFailure("channel eof");
    channel.closeNow = true;
  }
}

// Marked at once, not queued, so that no request waiting for the channel is raised after it.
void SshServerConnection::OnClose(ssh_session, ssh_channel, void* userdata) {
  static_cast<Channel*>(userdata)->peerClosed = true;
}

int SshServerConnection::OnPty(ssh_session, ssh_channel, const char*, int, int, int, int, void*) {
  return kAccept;  // terminal clients ask for one; the service does not depend on it
}

int SshServerConnection::OnWindowChange(ssh_session, ssh_channel, int, int, int, int, void*) { return kAccept; }

int SshServerConnection::OnShell(ssh_session, ssh_channel, void* userdata) {
  auto& channel = *static_cast<Channel*>(userdata);
  CallbackScope scope(*channel.owner);
  try {
    return channel.owner->ChannelRequest(channel, kServiceShell);
  } catch (...) {
    LogFailure("shell request");
    return kRefuse;
  }
}

int SshServerConnection::OnExec(ssh_session, ssh_channel, const char*, void* userdata) {
  auto& channel = *static_cast<Channel*>(userdata);
  try {
    debuglog::Write("termserver: ssh command execution refused for " + channel.owner->connection_.RemoteAddress());
  } catch (...) {
  }
  return kRefuse;
}

int SshServerConnection::OnSubsystem(ssh_session, ssh_channel, const char* name, void* userdata) {
  auto& channel = *static_cast<Channel*>(userdata);
  CallbackScope scope(*channel.owner);
  try {
    if (Text(name) != "sftp") return kRefuse;
    return channel.owner->ChannelRequest(channel, kServiceSftp);
  } catch (...) {
    LogFailure("subsystem request");
    return kRefuse;
  }
}

// Asks the application what serves the channel; the start is raised later, from the loop.
int SshServerConnection::ChannelRequest(Channel& channel, int32_t requestedType) {
  // One service per channel. A request that arrives while an event of the loop runs (libssh
  // polled from inside one of its writes) is refused rather than nesting one event in another.
  if (channel.kind != SshChannelKind::kUndecided || eventDepth_ > 0 || closing_) return kRefuse;
  const int32_t decided = connection_.ServiceRequest(channel.number, requestedType);
  if (requestedType == kServiceShell && decided == kServiceApplication) {
    channel.kind = SshChannelKind::kShell;
  } else if (requestedType == kServiceSftp && decided == kServiceSftp) {
    channel.kind = SshChannelKind::kSftp;
  } else {
    return kRefuse;
  }
  pending_.push_back({Pending::Kind::kStart, channel.number});
  lastActivity_ = Clock::now();
  return kAccept;
}

}  // namespace vorlane::termserver
