#include "agent/checks/remote_host.h"

#include <array>
#include <cstring>

#include "agent/request/answer.h"
#include "agent/request/record.h"
#include "agent/request/reply.h"
#include "cipher/base64.h"

namespace vorlane::agent {
namespace {

constexpr std::string_view kRemoteNamePrefix = "\\\\";

// The decode buffer is 255 bytes and always keeps a zero after the decoded password.
constexpr size_t kPasswordBufferSize = 255;
constexpr size_t kMaxPasswordBytes = kPasswordBufferSize - 1;

struct MessageText {
  uint32_t code;
  std::string_view text;
};

// The texts of the codes the networking layer reports, as the system's message table holds them
// in English, line end included (callers pass them on unchanged).
constexpr std::array kMessageTexts{
    MessageText{kNetAccessDenied, "Access is denied.\r\n"},
    MessageText{kNetBadNetPath, "The network path was not found.\r\n"},
    MessageText{kNetBadNetName, "The network name cannot be found.\r\n"},
    MessageText{kNetSessionCredentialConflict,
                "Multiple connections to a server or shared resource by the same user, using more than one user "
                "name, are not allowed. Disconnect all previous connections to the server or shared resource and "
                "try again.\r\n"},
    MessageText{kNetLogonFailure, "The user name or password is incorrect.\r\n"},
    MessageText{kNetHostKeyChanged,
                "The remote host's key has changed since it was first trusted; the connection was refused. If the "
                "host was reinstalled, remove its entry from the agent's known hosts file.\r\n"},
    MessageText{kNetKnownHostsUnwritable,
                "The agent's configuration folder cannot hold its known hosts file remote_known_hosts (the folder "
                "is missing or not writable), so the remote host's key could not be pinned and the connection was "
                "refused.\r\n"},
};

}  // namespace

uint32_t UnreachableRemoteConnector::AddConnection(const std::string& /*remoteName*/,
                                                   const std::optional<std::string>& /*user*/,
                                                   const std::optional<std::string>& /*password*/) {
  return kNetBadNetPath;
}

void UnreachableRemoteConnector::CancelConnection(const std::string& /*remoteName*/) {}

CheckHost& RemoteConnector::ConnectedHost(const std::string& /*remoteName*/) { return UnreachableCheckHost(); }

std::string WindowsErrorText(uint32_t code) {
  for (const MessageText& entry : kMessageTexts) {
    if (entry.code == code) return std::string(entry.text);
  }
  return {};
}

std::string RemoteHostName(std::string_view host) {
  std::string name(kRemoteNamePrefix);
  name.append(host);
  return name;
}

std::string DecodeRemotePassword(std::string_view encoded) {
  if (encoded.empty()) return {};
  std::array<uint8_t, kPasswordBufferSize> buffer{};
  // The result is deliberately not checked: for malformed or over-long text the bytes decoded
  // before the decoder stopped are the password, and the zero fill ends them.
  (void)cipher::Base64Decode(encoded, buffer.data(), kMaxPasswordBytes);
  const char* text = reinterpret_cast<const char*>(buffer.data());
  return std::string(text, ::strnlen(text, kMaxPasswordBytes));
}

RemoteHostRequest ReadRemoteHostRequest(std::string_view record) {
  RemoteHostRequest request;
  request.host = GetRecordValue(record, kKeyHostname);
  request.useAuthentication = FindRecordValue(record, kKeyUseAuthentication) == kUseAuthenticationTrue;
  request.user = GetRecordValue(record, kKeyUsername);
  // Decoded whether or not authentication is asked for; it is then simply not used.
  request.password = DecodeRemotePassword(FindRecordValue(record, kKeyPassword));
  return request;
}

RemoteConnectResult ConnectRemoteHost(RemoteConnector& connector, std::string_view host, bool useAuthentication,
                                      const std::string& user, const std::string& password) {
  const std::string remoteName = RemoteHostName(host);
  const uint32_t result = useAuthentication ? connector.AddConnection(remoteName, user, password)
                                            : connector.AddConnection(remoteName, std::nullopt, std::nullopt);
  // 1219: this logon session already holds a connection to the host under other credentials;
  // the request goes on with that one.
  if (result == kNetSuccess || result == kNetSessionCredentialConflict) return {true, {}};
  return {false, WindowsErrorText(result)};
}

void DisconnectRemoteHost(RemoteConnector& connector, std::string_view host) {
  connector.CancelConnection(RemoteHostName(host));
}

std::optional<std::string> WithRequestedHost(RemoteConnector& connector, const RemoteHostRequest& remote,
                                             const std::function<void(CheckHost& host)>& work, CheckHost& local) {
  if (!remote.NamesHost()) {
    work(local);
    return std::nullopt;
  }
  RemoteConnectResult connected =
      ConnectRemoteHost(connector, remote.host, remote.useAuthentication, remote.user, remote.password);
  // Nothing was connected, so nothing is cancelled.
  if (!connected.ok) return std::move(connected.failureText);
  struct Disconnect {
    RemoteConnector& connector;
    std::string_view host;
    ~Disconnect() { DisconnectRemoteHost(connector, host); }
  } disconnect{connector, remote.host};
  work(connector.ConnectedHost(RemoteHostName(remote.host)));
  return std::nullopt;
}

CheckOutcome OnRequestedHost(RemoteConnector& connector, const RemoteHostRequest& remote,
                             const std::function<CheckOutcome(CheckHost& host)>& work, CheckHost& local) {
  if (!remote.NamesHost()) return work(local);
  RemoteConnectResult connected =
      ConnectRemoteHost(connector, remote.host, remote.useAuthentication, remote.user, remote.password);
  if (!connected.ok) {
    return CheckOutcome::Error("ERROR: could not connect to hostname. Reason: " + connected.failureText);
  }
  // Made before the work runs, so that a failing work still cancels the connection.
  struct Disconnect {
    Disconnect(RemoteConnector& connector, std::string host) : connector(connector), host(std::move(host)) {}
    Disconnect(const Disconnect&) = delete;
    Disconnect& operator=(const Disconnect&) = delete;
    ~Disconnect() { DisconnectRemoteHost(connector, host); }
    RemoteConnector& connector;
    const std::string host;
  };
  auto disconnect = std::make_shared<Disconnect>(connector, remote.host);
  CheckOutcome outcome = work(connector.ConnectedHost(RemoteHostName(remote.host)));
  outcome.heldUntilAnswered = std::move(disconnect);
  return outcome;
}

CheckOutcome WithAgentConnector(
    const std::function<CheckOutcome(RemoteConnector& connector)>& check) {
  struct Held {
    std::unique_ptr<RemoteConnector> connector;
    std::shared_ptr<void> connection;  // goes first
  };
  auto held = std::make_shared<Held>();
  held->connector = NewRemoteConnector();
  CheckOutcome outcome = check(*held->connector);
  held->connection = std::move(outcome.heldUntilAnswered);
  outcome.heldUntilAnswered = std::move(held);
  return outcome;
}

}  // namespace vorlane::agent
