#include "platform/remote/ssh_client.h"

#include <libssh/libssh.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <mutex>

#include "platform/net/ssh_handles.h"

namespace vorlane::platform {
namespace {

using Clock = std::chrono::steady_clock;

// A single read waits at most this long, so the deadline of a command is checked often.
constexpr int kReadSliceMs = 200;
// Keyboard-interactive exchanges a server may ask for before the login is given up.
constexpr int kMaxKbdintRounds = 8;
// Bounds the read loop of a command by count as well as by time.
constexpr int kMaxReadRounds = 1 << 20;

// Requests may connect to hosts side by side; checking a host key and pinning a new one is one
// step, so that two first connections to a host do not both append it.
std::mutex knownHostsLock;

Error ConnectError(SshConnectFailure failure, std::string message) {
  return Error{static_cast<int>(failure), std::move(message)};
}

std::string SessionError(ssh_session session) { return ssh_get_error(session); }

bool SetOptions(ssh_session session, const RemoteEndpoint& endpoint, const SshLogin& login,
                const SshClientOptions& options) {
  unsigned int port = endpoint.port;
  // The connection depends on what this program is given, not on the account's ssh_config.
  bool processConfig = false;
  const long seconds = static_cast<long>(options.timeout.count() / 1000);
  const long micros = static_cast<long>((options.timeout.count() % 1000) * 1000);
  const std::string knownHosts = options.knownHostsFile.string();
  const std::string keyFolder = options.keyFolder.string();
  bool ok = ssh_options_set(session, SSH_OPTIONS_HOST, endpoint.host.c_str()) == SSH_OK &&
            ssh_options_set(session, SSH_OPTIONS_PORT, &port) == SSH_OK &&
            ssh_options_set(session, SSH_OPTIONS_PROCESS_CONFIG, &processConfig) == SSH_OK &&
            ssh_options_set(session, SSH_OPTIONS_KNOWNHOSTS, knownHosts.c_str()) == SSH_OK &&
            ssh_options_set(session, SSH_OPTIONS_TIMEOUT, &seconds) == SSH_OK &&
            ssh_options_set(session, SSH_OPTIONS_TIMEOUT_USEC, &micros) == SSH_OK;
  if (ok && !keyFolder.empty()) ok = ssh_options_set(session, SSH_OPTIONS_SSH_DIR, keyFolder.c_str()) == SSH_OK;
  if (ok && login.user) ok = ssh_options_set(session, SSH_OPTIONS_USER, login.user->c_str()) == SSH_OK;
  return ok;
}

Status VerifyHostKey(ssh_session session) {
  const std::lock_guard lock(knownHostsLock);
  switch (ssh_session_is_known_server(session)) {
    case SSH_KNOWN_HOSTS_OK:
      return {};
    case SSH_KNOWN_HOSTS_CHANGED:
    case SSH_KNOWN_HOSTS_OTHER:
      return ConnectError(SshConnectFailure::kHostKeyChanged, "the host key differs from the one pinned for it");
    case SSH_KNOWN_HOSTS_NOT_FOUND:
    case SSH_KNOWN_HOSTS_UNKNOWN:
      // First contact: trust the key and pin it for every later connection. A key that cannot be
      // pinned is not trusted, or every later connection would trust whatever key it is shown.
      if (ssh_session_update_known_hosts(session) != SSH_OK) {
        return ConnectError(SshConnectFailure::kKnownHostsUnwritable,
                            "cannot pin the host key: " + SessionError(session));
      }
      return {};
    case SSH_KNOWN_HOSTS_ERROR:
    default:
      return ConnectError(SshConnectFailure::kUnreachable, "cannot check the host key: " + SessionError(session));
  }
}

// Answers every prompt that hides its input with the password; prompts that echo get an
// empty answer.
int LoginKeyboardInteractive(ssh_session session, const std::string& password) {
  int rc = SSH_AUTH_DENIED;
  for (int round = 0; round < kMaxKbdintRounds; ++round) {
    rc = ssh_userauth_kbdint(session, nullptr, nullptr);
    if (rc != SSH_AUTH_INFO) return rc;
    const int prompts = ssh_userauth_kbdint_getnprompts(session);
    for (int i = 0; i < prompts; ++i) {
      char echo = 0;
      (void)ssh_userauth_kbdint_getprompt(session, static_cast<unsigned int>(i), &echo);
      if (ssh_userauth_kbdint_setanswer(session, static_cast<unsigned int>(i), echo ? "" : password.c_str()) < 0) {
        return SSH_AUTH_ERROR;
      }
    }
  }
  return rc == SSH_AUTH_INFO ? SSH_AUTH_DENIED : rc;
}

Status LogIn(ssh_session session, const SshLogin& login) {
  // "none" first: it may succeed on its own, and it tells which methods the host offers.
  int rc = ssh_userauth_none(session, nullptr);
  if (rc == SSH_AUTH_SUCCESS) return {};
  if (rc == SSH_AUTH_ERROR) return ConnectError(SshConnectFailure::kUnreachable, SessionError(session));
  const int methods = ssh_userauth_list(session, nullptr);
  rc = SSH_AUTH_DENIED;
  if (login.user && !login.password.empty()) {
    if (methods & SSH_AUTH_METHOD_PASSWORD) rc = ssh_userauth_password(session, nullptr, login.password.c_str());
    if (rc != SSH_AUTH_SUCCESS && rc != SSH_AUTH_ERROR && (methods & SSH_AUTH_METHOD_INTERACTIVE)) {
      rc = LoginKeyboardInteractive(session, login.password);
    }
  } else if (methods & SSH_AUTH_METHOD_PUBLICKEY) {
    // This program's own keys, for its own account or for a user named without a password.
    rc = ssh_userauth_publickey_auto(session, nullptr, nullptr);
  }
  if (rc == SSH_AUTH_SUCCESS) return {};
  if (rc == SSH_AUTH_ERROR) return ConnectError(SshConnectFailure::kUnreachable, SessionError(session));
  return ConnectError(SshConnectFailure::kCredentialsRefused, "the host refused the login");
}

}  // namespace

struct SshClientConnection::Session {
  net::SshSessionPtr session;
  bool connected = false;

  ~Session() {
    if (connected) ssh_disconnect(session.get());
  }
};

SshClientConnection::SshClientConnection(std::unique_ptr<Session> session, std::chrono::milliseconds timeout)
    : session_(std::move(session)), timeout_(timeout) {}

SshClientConnection::~SshClientConnection() = default;

Result<std::unique_ptr<SshClientConnection>> SshClientConnection::Connect(const RemoteEndpoint& endpoint,
                                                                          const SshLogin& login,
                                                                          const SshClientOptions& options) {
  // Left to libssh, an empty user name would become this program's own account. Refused before any
  // traffic: no host can accept it.
  if (login.user && login.user->empty()) {
    return ConnectError(SshConnectFailure::kCredentialsRefused, "no user name was given");
  }
  auto state = std::make_unique<Session>();
  state->session.reset(ssh_new());
  ssh_session session = state->session.get();
  if (session == nullptr) return ConnectError(SshConnectFailure::kUnreachable, "cannot create an SSH session");
  if (!SetOptions(session, endpoint, login, options)) {
    return ConnectError(SshConnectFailure::kUnreachable, "cannot set the SSH options: " + SessionError(session));
  }
  if (ssh_connect(session) != SSH_OK) {
    return ConnectError(SshConnectFailure::kUnreachable, SessionError(session));
  }
  state->connected = true;
  VORLANE_RETURN_IF_ERROR(VerifyHostKey(session));
  VORLANE_RETURN_IF_ERROR(LogIn(session, login));
  return std::unique_ptr<SshClientConnection>(new SshClientConnection(std::move(state), options.timeout));
}

Result<SshCommandResult> SshClientConnection::Run(const std::string& command, size_t maxOutput) {
  ssh_session session = session_->session.get();
  net::SshChannelPtr channel(ssh_channel_new(session));
  if (!channel || ssh_channel_open_session(channel.get()) != SSH_OK) {
    return Error{0, "cannot open a channel: " + SessionError(session)};
  }
  // From here the channel is open and is closed on every path.
  struct Closer {
    ssh_channel channel;
    ~Closer() { ssh_channel_close(channel); }
  } closer{channel.get()};
  if (ssh_channel_request_exec(channel.get(), command.c_str()) != SSH_OK) {
    return Error{0, "cannot run the command: " + SessionError(session)};
  }

  SshCommandResult result;
  std::array<char, 16384> buffer{};
  const Clock::time_point deadline = Clock::now() + timeout_;
  bool ended = false;
  for (int round = 0; round < kMaxReadRounds && !ended; ++round) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return Error{0, "the command did not end in time"};
    const int n = ssh_channel_read_timeout(channel.get(), buffer.data(), buffer.size(), 0,
                                           static_cast<int>(std::min<long long>(left, kReadSliceMs)));
    if (n == SSH_ERROR) return Error{0, "reading the command's output failed: " + SessionError(session)};
    if (n > 0) {
      if (result.output.size() + static_cast<size_t>(n) > maxOutput) return Error{0, "the command wrote too much"};
      result.output.append(buffer.data(), static_cast<size_t>(n));
    }
    // Standard error is not used, but it is read so that its window never stalls the command.
    for (int drained = 0; drained < 64; ++drained) {
      if (ssh_channel_read_nonblocking(channel.get(), buffer.data(), buffer.size(), 1) <= 0) break;
    }
    ended = n == 0 && ssh_channel_is_eof(channel.get());
  }
  if (!ended) return Error{0, "the command did not end in time"};
  result.exitStatus = ssh_channel_get_exit_status(channel.get());
  return result;
}

std::filesystem::path DefaultSshKeyFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return std::filesystem::path(home) / ".ssh";
  }
  std::array<char, 4096> text{};
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, text.data(), text.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return std::filesystem::path(found->pw_dir) / ".ssh";
  }
  // Without a folder of its own, libssh's default (the passwd home) is left in place.
  return {};
}

}  // namespace vorlane::platform
