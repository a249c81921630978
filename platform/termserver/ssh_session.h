// Serving SSH connections with libssh in server mode.
#pragma once

#include <filesystem>
#include <memory>

#include "platform/base/result.h"
#include "platform/base/unique_fd.h"
#include "platform/termserver/connection.h"

namespace vorlane::termserver {

// The host keys, kept in `folder` with mode 0600 so that they stay the same across restarts:
// loaded when present, else created (Ed25519, and RSA 3072 for older clients).
struct HostKeyFiles {
  std::filesystem::path ed25519;
  std::filesystem::path rsa;
};
Result<HostKeyFiles> PrepareHostKeys(const std::filesystem::path& folder);

// Holds the server's libssh configuration (the host keys) and turns accepted sockets into SSH
// sessions. One per listening server; Serve may run on many connection threads at once.
class SshServer {
 public:
  static Result<std::unique_ptr<SshServer>> Create(const HostKeyFiles& keys);
  ~SshServer();

  // Serves one accepted TCP connection until it ends (blocks the connection thread): key
  // exchange, password logins through connection.LoginPassword (at most kMaxPasswordTries, all
  // within kLoginTimeLimit), session channels ("shell" with pty requests accepted, "exec"
  // refused, "subsystem sftp"), ServiceRequest/ServiceStart per channel, requests through
  // Received with the channel's number as service index, SFTP through SftpServer. Nothing but
  // the key exchange and authentication is acted on before a successful login. Not Connecting
  // and not Disconnected, which the caller raises around it.
  void Serve(UniqueFd socket, Connection& connection);

 private:
  struct Impl;
  explicit SshServer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vorlane::termserver
