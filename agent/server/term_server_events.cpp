#include "agent/server/term_server_events.h"

#include <cstdlib>
#include <memory>
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
constexpr std::string_view kRequestNotQueued = "Request dropped, the agent is stopping or the connection sends "
                                               "more than it reads answers: ";

// A request taken from its connection: Receive hands out the text taken at the event, the
// rest goes to the connection.
class QueuedRequest final : public UserHandle {
 public:
  QueuedRequest(ComUserHandle user, std::string text) : user_(std::move(user)), text_(std::move(text)) {}
  std::string RemoteAddress() override { return user_.RemoteAddress(); }
  std::string Receive(int32_t) override { return text_; }
  void Send(const std::string& text, int32_t serviceIndex) override { user_.Send(text, serviceIndex); }
  void SetSftpHome(const std::string& folder) override { user_.SetSftpHome(folder); }

 private:
  ComUserHandle user_;
  const std::string text_;
};

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
  affinity_.Assert();
  Log(std::string(kConnectionFrom) + UserOf(call).RemoteAddress(), kLogInfo);
  (void)call.Write(event_args::Connecting::kAccept, Variant(int32_t{1}));
  return S_OK;
}

HRESULT CTermServerEvents::OnLoginPassword(DispatchCall& call) {
  affinity_.Assert();
  using Args = event_args::LoginPassword;
  ComUserHandle user = UserOf(call);
  const int32_t allow =
      agent::OnLoginPassword(context_, user, TextAt(call, Args::kName), TextAt(call, Args::kPassword));
  (void)call.Write(Args::kAllow, Variant(allow));
  return S_OK;
}

HRESULT CTermServerEvents::OnDisconnected(DispatchCall& call) {
  affinity_.Assert();
  // Requests still waiting on the connection's lane have no one to answer to any more.
  lanes_.Drop(UserOf(call).get());
  Log(kUserDisconnected, kLogInfo);
  return S_OK;
}

HRESULT CTermServerEvents::OnReceived(DispatchCall& call) {
  affinity_.Assert();
  using Args = event_args::Received;
  const int32_t length = NumberAt(call, Args::kLength);
  if (length <= 0) return S_OK;
  ComUserHandle user = UserOf(call);
  // The text is the connection's until its next request: take it now, answer it later.
  auto request = std::make_shared<QueuedRequest>(user, user.Receive(length));
  const int32_t channel = NumberAt(call, Args::kChannel);
  const auto kind = MayWait(request->Receive(length)) ? RequestLanes::Kind::kCheck : RequestLanes::Kind::kQuick;
  // A request that never waits, on a connection with nothing before it, is answered here and
  // now: a hand-over to a worker and back would cost more than the request itself.
  if (kind == RequestLanes::Kind::kQuick && lanes_.Idle(user.get())) {
    DispatchRequest(context_, *request, channel, length);
    return S_OK;
  }
  const bool queued = lanes_.Submit(
      user.get(), [context = &context_, request, channel, length] { DispatchRequest(*context, *request, channel, length); },
      [user](size_t unanswered) mutable { user.ReportUnanswered(unanswered); }, kind);
  if (!queued) Log(std::string(kRequestNotQueued) + user.RemoteAddress(), kLogError);
  return S_OK;
}

// Only SFTP is served by the component (confined to the temporary folder); every other channel
// is the agent's own.
HRESULT CTermServerEvents::OnServiceRequest(DispatchCall& call) {
  affinity_.Assert();
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
  affinity_.Assert();
  using Args = event_args::ServiceStart;
  ComUserHandle user = UserOf(call);
  agent::OnServiceStart(context_, user, NumberAt(call, Args::kChannel), NumberAt(call, Args::kType),
                        TextAt(call, Args::kName));
  return S_OK;
}

HRESULT CTermServerEvents::OnSftpDownloadFile(DispatchCall&) {
  affinity_.Assert();
  Log(kDownloading, kLogInfo);
  return S_OK;
}

HRESULT CTermServerEvents::OnSftpUploadFile(DispatchCall& call) {
  affinity_.Assert();
  using Args = event_args::Sftp;
  Log(kUploading, kLogInfo);
  Log(TextAt(call, Args::kResolved), kLogInfo);
  (void)call.Write(Args::kAllow, Variant(int32_t{1}));
  return S_OK;
}

}  // namespace vorlane::agent
