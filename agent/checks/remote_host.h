// The connection to another host that the service, process and disk free checks open before they
// work on it, and close again after their answer: the request parameters that feed it, the
// decoding of the password, and the connect/disconnect pair over a replaceable connector.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "agent/checks/check_declaration.h"
#include "agent/checks/check_host.h"
#include "agent/request/user_handle.h"

namespace vorlane::agent {

// The request keys shared by every check that can work on another host.
inline constexpr std::string_view kKeyHostname = "Hostname";
inline constexpr std::string_view kKeyUseAuthentication = "Use authentication";
inline constexpr std::string_view kKeyUsername = "Username";
inline constexpr std::string_view kKeyPassword = "*Password";
// The four together: the parameters whose values refresh a list computed on the host.
inline constexpr std::array<std::string_view, 4> kRemoteHostKeys = {kKeyHostname, kKeyUseAuthentication, kKeyUsername,
                                                                    kKeyPassword};

// Only this exact text asks for the given credentials; "True" or "yes" use the agent's own.
inline constexpr std::string_view kUseAuthenticationTrue = "true";

// The callers' errormessage text; %s is the failure text of ConnectRemoteHost.
inline constexpr std::string_view kCouldNotConnectFormat = "ERROR: could not connect to hostname. Reason: %s";

// Result codes of the networking layer, with the meanings of the Windows error codes.
inline constexpr uint32_t kNetSuccess = 0;
inline constexpr uint32_t kNetAccessDenied = 5;
inline constexpr uint32_t kNetBadNetPath = 53;
inline constexpr uint32_t kNetBadNetName = 67;
inline constexpr uint32_t kNetSessionCredentialConflict = 1219;
inline constexpr uint32_t kNetLogonFailure = 1326;
// The host showed another key than the one pinned for it at the first connection: the code of
// the system's failed mutual authentication, answered with a text of its own that says what
// happened and what to do.
inline constexpr uint32_t kNetHostKeyChanged = 1397;
// The configuration folder cannot hold the known-hosts file (it is missing and cannot be made, or
// cannot be written), so a new host's key cannot be pinned: the code of the system's "cannot
// create" error, answered with a text of its own that names the file.
inline constexpr uint32_t kNetKnownHostsUnwritable = 82;

// The networking layer below ConnectRemoteHost: adds and cancels a connection to a remote name,
// and while one is open, gives the host the checks' queries run on. One connector serves one
// request; it cancels what is still open when it goes.
class RemoteConnector {
 public:
  virtual ~RemoteConnector() = default;
  // Adds a connection to `remoteName`, not remembered and without prompting. Without a user and
  // password (nullopt) the agent's own credentials are used; a user with an empty password logs in
  // with the agent's own keys; an empty user name is refused. Returns a result code.
  virtual uint32_t AddConnection(const std::string& remoteName, const std::optional<std::string>& user,
                                 const std::optional<std::string>& password) = 0;
  // Cancels the connection to `remoteName`, forced even with open files; failures are not reported.
  virtual void CancelConnection(const std::string& remoteName) = 0;
  // The host behind the open connection to `remoteName`; a host that answers nothing when no
  // connection of this connector reaches it, never the agent's own host.
  virtual CheckHost& ConnectedHost(const std::string& remoteName);
};

// A connector that reaches no host: every connection fails with "network path not found".
class UnreachableRemoteConnector : public RemoteConnector {
 public:
  uint32_t AddConnection(const std::string& remoteName, const std::optional<std::string>& user,
                         const std::optional<std::string>& password) override;
  void CancelConnection(const std::string& remoteName) override;
};

// A connector for one request over SSH (ssh_connector.h), with the agent's known-hosts file and
// key folder.
std::unique_ptr<RemoteConnector> NewRemoteConnector();

// The system's message text for a result code, as the system returns it (with its line end);
// empty for a code without a text.
std::string WindowsErrorText(uint32_t code);

// Two backslashes followed by `host` exactly as given (no normalisation). The connectors key their
// connections by it; the SSH connector takes the host back out of it.
std::string RemoteHostName(std::string_view host);

// The plain password of a "*Password" value: base64-decoded into a zero-filled 255-byte buffer
// and taken up to its first zero byte. Empty text gives an empty password; malformed text gives
// what the decoder produced before it stopped.
std::string DecodeRemotePassword(std::string_view encoded);

// The four remote host parameters of a request, the password already decoded.
struct RemoteHostRequest {
  std::string host;
  bool useAuthentication = false;
  std::string user;
  std::string password;

  bool NamesHost() const { return !host.empty(); }
};

RemoteHostRequest ReadRemoteHostRequest(std::string_view record);

struct RemoteConnectResult {
  bool ok = false;
  std::string failureText;  // empty on success
};

// Connects to `host`; result 0 and 1219 (a connection under other credentials already exists)
// succeed, any other result fails with the system's message text.
RemoteConnectResult ConnectRemoteHost(RemoteConnector& connector, std::string_view host, bool useAuthentication,
                                      const std::string& user, const std::string& password);

// Cancels the connection to `host`; call only after a successful ConnectRemoteHost.
void DisconnectRemoteHost(RemoteConnector& connector, std::string_view host);

// The frame every use of a possibly remote host shares: when the request names a host, connects
// to it first and, if that fails, returns the failure text without running `work`. Otherwise
// runs `work` on the connected host (on `local` when the request names none) and then cancels
// the connection, so a connection never outlives the work it served (an exception from `work`
// included).
std::optional<std::string> WithRequestedHost(RemoteConnector& connector, const RemoteHostRequest& remote,
                                             const std::function<void(CheckHost& host)>& work,
                                             CheckHost& local = LocalCheckHost());

// Runs `check` with a connector of the agent's own, which the outcome holds until its answer went
// out (with the connection it may hold).
CheckOutcome WithAgentConnector(const std::function<CheckOutcome(RemoteConnector& connector)>& check);

// The same for a check: its outcome on the requested host, or the error "ERROR: could not
// connect to hostname. Reason: %s" with the failure text. The connection is cancelled when the
// outcome lets go of it, after its answer went out.
CheckOutcome OnRequestedHost(RemoteConnector& connector, const RemoteHostRequest& remote,
                             const std::function<CheckOutcome(CheckHost& host)>& work,
                             CheckHost& local = LocalCheckHost());

}  // namespace vorlane::agent
