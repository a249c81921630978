#include "agent/server/term_server_events.h"

#include <cstdlib>
#include <string>

#include "agent/log/agent_log.h"
#include "agent/protocol/dispatcher.h"
#include "agent/protocol/login.h"
#include "agent/server/com_user_handle.h"

namespace vorlane::agent {

using namespace vorlane::com;
namespace event_args = termserver::event_args;

namespace {

constexpr size_t kMaxTempPath = 260;

constexpr std::string_view kConnectionFrom = "Connection from ";
constexpr std::string_view kUserDisconnected = "User disconnected";
constexpr std::string_view kDownloading = "DOWNLOADING FILE!!!!!!!!!";
constexpr std::string_view kUploading = "UPLOADING FILE!!!!!!!!!";

// The system's folder for temporary files, with a trailing slash.
std::string TemporaryFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string folder = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp/";
  if (folder.back() != '/') folder += '/';
  if (folder.size() > kMaxTempPath) return {};
  return folder;
}

// The connection every event names first.
ComUserHandle UserOf(DispatchCall& call) {
  ComPtr<IDispatch> user;
  (void)call.Read(event_args::kUser, &user);
  return ComUserHandle(user.get());
}

// A number or text argument; 0 or "" when it is of another kind.
int32_t NumberAt(DispatchCall& call, uint32_t index) {
  int32_t value = 0;
  return Succeeded(call.Read(index, &value)) ? value : 0;
}
std::string TextAt(DispatchCall& call, uint32_t index) {
  std::string text;
  return Succeeded(call.Read(index, &text)) ? text : std::string();
}

}  // namespace

HRESULT CTermServerEvents::OnConnecting(DispatchCall& call) {
  Log(std::string(kConnectionFrom) + UserOf(call).RemoteAddress(), kLogInfo);
  (void)call.Write(event_args::Connecting::kAccept, Variant(int32_t{1}));
  return S_OK;
}

HRESULT CTermServerEvents::OnLoginPassword(DispatchCall& call) {
  using Args = event_args::LoginPassword;
  ComUserHandle user = UserOf(call);
  const int32_t allow =
      agent::OnLoginPassword(context_, user, TextAt(call, Args::kName), TextAt(call, Args::kPassword));
  (void)call.Write(Args::kAllow, Variant(allow));
  return S_OK;
}

HRESULT CTermServerEvents::OnDisconnected(DispatchCall&) {
  Log(kUserDisconnected, kLogInfo);
  return S_OK;
}

HRESULT CTermServerEvents::OnReceived(DispatchCall& call) {
  using Args = event_args::Received;
  ComUserHandle user = UserOf(call);
  DispatchRequest(context_, user, NumberAt(call, Args::kChannel), NumberAt(call, Args::kLength));
  return S_OK;
}

// Only SFTP is served by the component (confined to the temporary folder); every other channel
// is the agent's own.
HRESULT CTermServerEvents::OnServiceRequest(DispatchCall& call) {
  using Args = event_args::ServiceRequest;
  if (NumberAt(call, Args::kType) != termserver::kServiceSftp) {
    (void)call.Write(Args::kType, Variant(termserver::kServiceApplication));
    return S_OK;
  }
  if (std::string folder = TemporaryFolder(); !folder.empty()) {
    UserOf(call).SetSftpHome(folder);
    Log(folder, kLogInfo);
  }
  return S_OK;
}

HRESULT CTermServerEvents::OnServiceStart(DispatchCall& call) {
  using Args = event_args::ServiceStart;
  ComUserHandle user = UserOf(call);
  agent::OnServiceStart(context_, user, NumberAt(call, Args::kChannel), NumberAt(call, Args::kType),
                        TextAt(call, Args::kName));
  return S_OK;
}

HRESULT CTermServerEvents::OnSftpDownloadFile(DispatchCall&) {
  Log(kDownloading, kLogInfo);
  return S_OK;
}

HRESULT CTermServerEvents::OnSftpUploadFile(DispatchCall& call) {
  using Args = event_args::Sftp;
  Log(kUploading, kLogInfo);
  Log(TextAt(call, Args::kResolved), kLogInfo);
  (void)call.Write(Args::kAllow, Variant(int32_t{1}));
  return S_OK;
}

}  // namespace vorlane::agent
