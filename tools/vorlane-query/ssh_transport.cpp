// The SSH transport: a libssh client with a password (or keyboard-interactive) login and a
// shell channel without a terminal.
#include <libssh/libssh.h>

#include <memory>

#include "platform/net/ssh_handles.h"
#include "tools/vorlane-query/transport.h"

namespace vorlane::query {
namespace {

// The agent sees a session and a channel end by their close messages, never by a dropped socket
// alone, on every way out.
struct SessionEnd {
  void operator()(ssh_session session) const {
    const net::SshSessionPtr owned(session);
    ssh_disconnect(session);
  }
};
struct ChannelEnd {
  void operator()(ssh_channel channel) const {
    const net::SshChannelPtr owned(channel);
    if (ssh_channel_is_open(channel) != 0) ssh_channel_close(channel);
  }
};
using SessionPtr = std::unique_ptr<ssh_session_struct, SessionEnd>;
using ChannelPtr = std::unique_ptr<ssh_channel_struct, ChannelEnd>;

class SshTransport final : public Transport {
 public:
  // The channel goes before the session it belongs to.
  SshTransport(SessionPtr session, ChannelPtr channel) : session_(std::move(session)), channel_(std::move(channel)) {}

  bool Send(std::string_view text) override {
    while (!text.empty()) {
      const int n = ssh_channel_write(channel_.get(), text.data(), static_cast<uint32_t>(text.size()));
      if (n <= 0) return false;
      text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

  ReadStatus Read(std::string& out, std::chrono::milliseconds wait) override {
    const int available = ssh_channel_poll_timeout(channel_.get(), static_cast<int>(wait.count()), 0);
    if (available == SSH_EOF || available == SSH_ERROR) return ReadStatus::kClosed;
    if (available == 0) {
      return ssh_channel_is_eof(channel_.get()) != 0 ? ReadStatus::kClosed : ReadStatus::kTimeout;
    }
    char buffer[4096];
    const int n = ssh_channel_read_nonblocking(channel_.get(), buffer, sizeof buffer, 0);
    if (n < 0) return ReadStatus::kClosed;
    out.append(buffer, static_cast<size_t>(n));
    return ReadStatus::kData;
  }

 private:
  SessionPtr session_;
  ChannelPtr channel_;
};

std::string Fingerprint(ssh_session session) {
  ssh_key key = nullptr;
  if (ssh_get_server_publickey(session, &key) != SSH_OK) return {};
  const net::SshKeyPtr keyOwner(key);
  unsigned char* hash = nullptr;
  size_t length = 0;
  if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &length) != 0) return {};
  const net::SshHashPtr hashOwner(hash);
  const net::SshCharPtr text(ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, length));
  return text ? std::string(text.get()) : std::string();
}

// Password first, then keyboard-interactive with the password as the answer to its one prompt.
bool Authenticate(ssh_session session, const std::string& password) {
  if (ssh_userauth_password(session, nullptr, password.c_str()) == SSH_AUTH_SUCCESS) return true;
  int rc = ssh_userauth_kbdint(session, nullptr, nullptr);
  bool answered = false;
  while (rc == SSH_AUTH_INFO) {
    const int prompts = ssh_userauth_kbdint_getnprompts(session);
    if (prompts > 1 || (prompts == 1 && answered)) return false;  // not a password question
    if (prompts == 1) {
      if (ssh_userauth_kbdint_setanswer(session, 0, password.c_str()) < 0) return false;
      answered = true;
    }
    rc = ssh_userauth_kbdint(session, nullptr, nullptr);
  }
  return rc == SSH_AUTH_SUCCESS;
}

}  // namespace

OpenResult OpenSsh(const Settings& settings, std::ostream& diagnostics) {
  SessionPtr session(ssh_new());
  if (!session) return {nullptr, "cannot create an SSH session"};
  const long timeoutSeconds = static_cast<long>((settings.timeout.count() + 999) / 1000);
  const unsigned int port = static_cast<unsigned int>(settings.port);
  const int verbosity = SSH_LOG_NOLOG;
  const int no = 0;
  ssh_options_set(session.get(), SSH_OPTIONS_LOG_VERBOSITY, &verbosity);
  ssh_options_set(session.get(), SSH_OPTIONS_HOST, settings.host.c_str());
  ssh_options_set(session.get(), SSH_OPTIONS_PORT, &port);
  ssh_options_set(session.get(), SSH_OPTIONS_USER, settings.user.c_str());
  ssh_options_set(session.get(), SSH_OPTIONS_TIMEOUT, &timeoutSeconds);
  ssh_options_set(session.get(), SSH_OPTIONS_PROCESS_CONFIG, &no);  // no ~/.ssh/config surprises
  // Every message of the login and every request is small and waits for its answer: Nagle's
  // algorithm would hold the second of two back-to-back packets (the key exchange sends two)
  // until the agent's delayed acknowledgement, some 40 ms.
  const int yes = 1;
  ssh_options_set(session.get(), SSH_OPTIONS_NODELAY, &yes);
  if (!settings.knownHosts.empty()) {
    ssh_options_set(session.get(), SSH_OPTIONS_KNOWNHOSTS, settings.knownHosts.c_str());
  }
  const std::string where = settings.host + " port " + std::to_string(settings.port);
  if (ssh_connect(session.get()) != SSH_OK) {
    return {nullptr, "cannot connect to " + where + ": " + ssh_get_error(session.get())};
  }
  diagnostics << "vorlane-query: host key of " << where << ": " << Fingerprint(session.get()) << "\n";
  if (!settings.knownHosts.empty()) {
    const ssh_known_hosts_e known = ssh_session_is_known_server(session.get());
    if (known != SSH_KNOWN_HOSTS_OK) {
      const char* why = known == SSH_KNOWN_HOSTS_CHANGED || known == SSH_KNOWN_HOSTS_OTHER ? "does not match"
                                                                                             : "is not listed in";
      return {nullptr, "the host key of " + where + " " + why + " " + settings.knownHosts};
    }
  }
  if (!Authenticate(session.get(), settings.password)) return {nullptr, "login refused", true};
  ChannelPtr channel(ssh_channel_new(session.get()));
  if (!channel || ssh_channel_open_session(channel.get()) != SSH_OK ||
      ssh_channel_request_shell(channel.get()) != SSH_OK) {
    return {nullptr, std::string("cannot open a shell channel: ") + ssh_get_error(session.get())};
  }
  return {std::make_unique<SshTransport>(std::move(session), std::move(channel)), {}};
}

}  // namespace vorlane::query
