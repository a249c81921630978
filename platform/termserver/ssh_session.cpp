#include "platform/termserver/ssh_session.h"

#include <exception>
#include <mutex>

#include "platform/debuglog/debuglog.h"
#include "platform/termserver/ssh_connection.h"
#include "platform/termserver/ssh_host_keys.h"

namespace vorlane::termserver {

struct SshServer::Impl {
  SshBindPtr bind;
  // ssh_bind_accept_fd reads (and on first use may complete) the shared bind configuration.
  std::mutex acceptLock;
};

SshServer::SshServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SshServer::~SshServer() = default;

Result<std::unique_ptr<SshServer>> SshServer::Create(const HostKeyFiles& keys) {
  auto ed25519 = LoadHostKey(keys.ed25519, SSH_KEYTYPE_ED25519);
  VORLANE_RETURN_IF_ERROR(ed25519);
  auto rsa = LoadHostKey(keys.rsa, SSH_KEYTYPE_RSA);
  VORLANE_RETURN_IF_ERROR(rsa);
  auto impl = std::make_unique<Impl>();
  impl->bind.reset(ssh_bind_new());
  if (!impl->bind) return Error{0, "cannot create the SSH server"};
  ssh_bind bind = impl->bind.get();
  // Read the system-wide libssh server configuration now, so that accepting (from many
  // connection threads) only reads the bind.
  if (ssh_bind_options_parse_config(bind, nullptr) != SSH_OK) {
    return Error{0, std::string("cannot read the libssh server configuration: ") + ssh_get_error(bind)};
  }
  // The bind owns a key once it took it.
  for (SshKeyPtr* key : {&ed25519.value(), &rsa.value()}) {
    if (ssh_bind_options_set(bind, SSH_BIND_OPTIONS_IMPORT_KEY, key->get()) != SSH_OK) {
      return Error{0, std::string("cannot use the SSH host key: ") + ssh_get_error(bind)};
    }
    (void)key->release();
  }
  return std::unique_ptr<SshServer>(new SshServer(std::move(impl)));
}

void SshServer::Serve(UniqueFd socket, Connection& connection) {
  try {
    SshSessionPtr session(ssh_new());
    if (!session) {
      debuglog::Write("termserver: cannot create an SSH session");
      return;
    }
    int rc;
    {
      std::lock_guard lock(impl_->acceptLock);
      rc = ssh_bind_accept_fd(impl_->bind.get(), session.get(), socket.get());
    }
    // Once the session holds the socket it closes it; before that the socket is still ours.
    if (ssh_get_fd(session.get()) == socket.get()) (void)socket.release();
    if (rc != SSH_OK) {
      debuglog::Write(std::string("termserver: SSH accept failed: ") + ssh_get_error(impl_->bind.get()));
      return;
    }
    SshServerConnection(connection, std::move(session)).Run();
  } catch (const std::exception& error) {
    debuglog::Write(std::string("termserver: SSH connection failed: ") + error.what());
  } catch (...) {
    debuglog::Write("termserver: SSH connection failed");
  }
}

}  // namespace vorlane::termserver
