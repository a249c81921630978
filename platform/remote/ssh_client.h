// An SSH client connection to another host, through which commands run in exec channels. Host
// keys are trusted on first use and pinned in a known-hosts file; a host whose key differs from
// the pinned one is refused. Connecting, logging in and every command are bounded in time, and
// a command's output is bounded in size.
//
// One connection belongs to one thread at a time (libssh sessions are not shared).
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/base/result.h"
#include "platform/remote/remote_endpoint.h"

namespace vorlane::platform {

// Why a connection could not be made; the Error::code of a failed Connect.
enum class SshConnectFailure : int {
  kUnreachable = 1,         // no such host, nothing listening, no answer in time, not SSH
  kCredentialsRefused = 2,  // the host refused the user, the password or the keys
  kHostKeyChanged = 3,      // the host shows another key than the one pinned for it
  kKnownHostsUnwritable = 4,  // a new host's key cannot be pinned: the known-hosts file cannot be written
};

struct SshLogin {
  // The user to log in as; nothing: the account this program runs under, with its own keys. A
  // user that is given must be named: an empty name is refused, never taken for this program's
  // own account.
  std::optional<std::string> user;
  // With a user: the password, offered as a password and to keyboard-interactive prompts. Empty,
  // the user logs in with this program's own keys instead.
  std::string password;
};

struct SshClientOptions {
  std::filesystem::path knownHostsFile;
  // The folder with the account's own key files (id_ed25519, id_ecdsa, id_rsa).
  std::filesystem::path keyFolder;
  std::chrono::milliseconds timeout{10000};
};

struct SshCommandResult {
  int exitStatus = -1;
  std::string output;  // standard output; standard error is read and dropped
};

// The client side of an SSH connection: this system logged in to another host, running
// commands there (the terminal server's SshServerConnection is the other side, of its own peers).
class SshClientConnection {
 public:
  // Output beyond this makes a command fail rather than grow without bound.
  static constexpr size_t kDefaultMaxOutput = size_t{8} << 20;

  static Result<std::unique_ptr<SshClientConnection>> Connect(const RemoteEndpoint& endpoint, const SshLogin& login,
                                                              const SshClientOptions& options);

  ~SshClientConnection();
  SshClientConnection(const SshClientConnection&) = delete;
  SshClientConnection& operator=(const SshClientConnection&) = delete;

  // Runs `command` through the remote account's shell in a channel of its own, closed again
  // before this returns. Fails when no channel can be opened, when the command does not end
  // within the timeout, or when it writes more than `maxOutput` bytes.
  Result<SshCommandResult> Run(const std::string& command, size_t maxOutput = kDefaultMaxOutput);

 private:
  struct Session;
  SshClientConnection(std::unique_ptr<Session> session, std::chrono::milliseconds timeout);

  std::unique_ptr<Session> session_;
  std::chrono::milliseconds timeout_;
};

// The key folder of the account this program runs under: $HOME/.ssh, or the home folder of the
// account's passwd entry when HOME is not set.
std::filesystem::path DefaultSshKeyFolder();

}  // namespace vorlane::platform
