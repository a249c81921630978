#include "agent/checks/url_check.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <strings.h>

#include "agent/checks/remote_host.h"
#include "agent/log/agent_log.h"
#include "agent/request/answer.h"
#include "agent/request/record.h"
#include "platform/base/ascii.h"
#include "platform/base/utf8.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/com_object.h"
#include "platform/com/contract_events.h"
#include "platform/com/dispatch_table.h"
#include "platform/com/error_info.h"
#include "platform/com/late_binding.h"
#include "platform/com/variant.h"
#include "platform/httpclient/httpclient.h"

namespace vorlane::agent {
namespace {

using com::HRESULT;
using com::S_OK;
using com::Variant;

constexpr std::string_view kNoClientText = "Could not create HttpClient object";
constexpr std::string_view kStatusText = "Got page but StatusCode is not 200, is %d.";
constexpr std::string_view kUpText = "Got page and content is ok.";
constexpr std::string_view kDownText = "Got page and content is NOT ok.";

constexpr std::string_view kUseUrlAuthenticationLog = "Use URL authentication";
constexpr std::string_view kUseProxyLog = "Use proxy";
constexpr std::string_view kUseProxyAuthenticationLog = "Use proxy authentication";
constexpr std::string_view kNoTempFileLog = "GetTempFileName failed";
constexpr std::string_view kGetExceptionLog = "caught the HttpClient Get() exception!";
constexpr std::string_view kRefusedPropertyLog = "The HttpClient refused property %d";
// When the request failed without a text of the component's, the answer still says so.
constexpr std::string_view kGetFailedText = "The HttpClient request failed";
constexpr std::string_view kNoResponseText = "The HttpClient gave no response object";

constexpr std::string_view kTrue = "true";
constexpr std::string_view kUserAgentPrefix = "Vorlane/";

// The completion text is kept to this many bytes (cut between characters).
constexpr size_t kCompletionTextLimit = 1023;
constexpr size_t kUrlAnswerBuffer = 4096;

constexpr std::string_view kBodyFilePrefix = "wdH";
constexpr std::string_view kBodyFileExtension = ".tmp";
constexpr int kBodyFileAttempts = 64;

// The client's code of each proxy type of kProxyTypeNames.
constexpr std::array<int32_t, kProxyTypeNames.size()> kProxyTypeCodes = {
    httpclient::kProxyNone,  httpclient::kProxySocks4,   httpclient::kProxySocks5,     httpclient::kProxyWebStandard,
    httpclient::kProxyRelay, httpclient::kProxySocks4a, httpclient::kProxyEnvironment};

// What one check keeps between its calls and the client's events: the file for the body and
// Done's code and text. One per check run, so that checks of different connections can run side
// by side.
struct UrlRun {
  com::IDispatch* client = nullptr;
  std::string bodyFile;
  int32_t code = 0;
  std::string text;
};

// The receiver of the client's events. They arrive during Get, on the thread that called it;
// once the run is over the receiver is detached and ignores anything that still comes.
class UrlEventSink final
    : public com::ComObject<UrlEventSink, com::DispatchImpl<UrlEventSink, httpclient::IHttpClientEvents>> {
  HRESULT OnDone(httpclient::DoneEvent& done) {
    if (run_ == nullptr) return S_OK;
    run_->code = done.code;
    done.text.resize(utf8::CutPoint(done.text, kCompletionTextLimit));
    run_->text = std::move(done.text);
    return S_OK;
  }
  // The body goes to the run's file, when it has one.
  HRESULT OnHeadersDone(httpclient::HeadersDoneEvent& /*event*/) {
    if (run_ == nullptr || run_->bodyFile.empty()) return S_OK;
    com::ComPtr<com::IDispatch> response;
    VORLANE_RETURN_IF_FAILED(com::GetProperty(run_->client, httpclient::kClientResponse, &response));
    if (!response) return com::E_POINTER;
    return com::PutProperty(response.get(), httpclient::kResponseFileName, Variant::FromUtf8(run_->bodyFile));
  }
  HRESULT OnIgnored(com::DispatchCall& /*call*/) { return S_OK; }

 public:
  static constexpr com::DispatchMember<UrlEventSink> kDispatchMembers[] = {
      com::OnEvent<&UrlEventSink::OnDone>(),
      com::DispMethod("StateChange", httpclient::kEventStateChange, &UrlEventSink::OnIgnored, 0, 1),
      com::DispMethod("Connected", httpclient::kEventConnected, &UrlEventSink::OnIgnored),
      com::DispMethod("Disconnected", httpclient::kEventDisconnected, &UrlEventSink::OnIgnored, 0, 2),
      com::OnEvent<&UrlEventSink::OnHeadersDone>(),
      com::DispMethod("Progress", httpclient::kEventProgress, &UrlEventSink::OnIgnored, 0, 2),
      com::DispMethod("ClientCertRequired", httpclient::kEventClientCertRequired, &UrlEventSink::OnIgnored),
      com::DispMethod("HostCertificate", httpclient::kEventHostCertificate, &UrlEventSink::OnIgnored, 0, 4),
  };

  explicit UrlEventSink(UrlRun* run) : run_(run) {}
  void Detach() { run_ = nullptr; }

 private:
  ~UrlEventSink() override = default;

  UrlRun* run_;
};

// The receiver connected to the client's events for the life of the object.
class EventConnection {
 public:
  EventConnection(com::IDispatch* client, com::IUnknown* sink) {
    com::ComPtr<com::IConnectionPointContainer> container;
    if (client->QueryInterface(com::IConnectionPointContainer::kIid, container.put_void()) != S_OK || !container) {
      return;
    }
    if (container->FindConnectionPoint(httpclient::IHttpClientEvents::kIid, point_.put()) != S_OK || !point_) return;
    if (point_->Advise(sink, &cookie_) != S_OK) point_.reset();
  }
  ~EventConnection() {
    if (point_) (void)point_->Unadvise(cookie_);
  }
  EventConnection(const EventConnection&) = delete;
  EventConnection& operator=(const EventConnection&) = delete;
  bool connected() const { return static_cast<bool>(point_); }

 private:
  com::ComPtr<com::IConnectionPoint> point_;
  uint32_t cookie_ = 0;
};

void Put(com::IDispatch* client, com::DISPID id, const Variant& value) {
  if (com::PutProperty(client, id, value) != S_OK) {
    Log(FormatAnswer(kRefusedPropertyLog, {static_cast<long long>(id)}), kLogError);
  }
}

// The description of the error information the failed call left, or "".
std::string TakeErrorText() {
  com::ComPtr<com::IErrorInfo> info;
  if (com::GetErrorInfo(info.put()) != S_OK || !info) return {};
  com::Bstr description;
  if (info->GetDescription(description.put()) != S_OK) return {};
  return description.ToUtf8();
}

CheckOutcome ErrorOutcome(std::string_view text) {
  CheckOutcome outcome = CheckOutcome::Error(AsAnswerText(std::string(text)));
  outcome.bufferSize = kUrlAnswerBuffer;
  return outcome;
}

CheckOutcome PageOutcome(bool up, std::string text, long long responseTime) {
  CheckOutcome outcome = CheckOutcome::Judged(up, std::move(text), responseTime);
  outcome.bufferSize = kUrlAnswerBuffer;
  return outcome;
}

}  // namespace

UrlRequest ReadUrlRequest(std::string_view record) {
  UrlRequest request;
  request.url = GetRecordValue(record, kKeyUrl);
  request.contentCheckType = GetRecordValue(record, kKeyContentCheckType);
  if (request.contentCheckType.empty()) request.contentCheckType = kNoContentCheck;
  request.words = GetRecordValue(record, kKeyWords);
  request.content = GetRecordValue(record, kKeyContent);
  request.useUrlAuthentication = FindRecordValue(record, kKeyUseUrlAuthentication) == kTrue;
  request.user = GetRecordValue(record, kKeyUrlUser);
  request.password = DecodeRemotePassword(FindRecordValue(record, kKeyUrlPassword));
  request.proxyType = GetRecordValue(record, kKeyProxyType);
  if (request.proxyType.empty()) request.proxyType = kProxyNoneName;
  request.proxyServer = GetRecordValue(record, kKeyProxyServer);
  // Leading digits only: a sign or white space gives 0, as does a value without digits.
  const std::string_view port = FindRecordValue(record, kKeyProxyPort);
  request.proxyPort = port.empty() || std::isdigit(static_cast<unsigned char>(port.front())) == 0
                          ? 0
                          : ParseRecordNumber(port);
  request.useProxyAuthentication = FindRecordValue(record, kKeyUseProxyAuthentication) == kTrue;
  request.proxyUser = GetRecordValue(record, kKeyProxyUser);
  request.proxyPassword = DecodeRemotePassword(FindRecordValue(record, kKeyProxyPassword));
  return request;
}

std::optional<int32_t> ProxyTypeCode(std::string_view name) {
  for (size_t i = 0; i < kProxyTypeNames.size(); ++i) {
    if (EqualsIgnoringAsciiCase(kProxyTypeNames[i], name)) return kProxyTypeCodes[i];
  }
  return std::nullopt;
}

std::filesystem::path PersonalFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  std::array<char, 4096> buffer{};
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return {};
}

UrlBodyFile::UrlBodyFile(const std::filesystem::path& folder) {
  if (folder.empty()) return;
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  std::random_device random;
  for (int attempt = 0; attempt < kBodyFileAttempts; ++attempt) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(random() & 0xFFFFu));
    const std::string candidate =
        (folder / (std::string(kBodyFilePrefix) + hex + std::string(kBodyFileExtension))).string();
    // O_EXCL: never a file or link that is already there.
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      path_ = candidate;
      return;
    }
    if (errno != EEXIST) return;
  }
}

UrlBodyFile::~UrlBodyFile() {
  if (!path_.empty()) (void)::unlink(path_.c_str());
}

std::string UrlCheckUserAgent(std::string_view agentVersion) {
  return std::string(kUserAgentPrefix) + std::string(agentVersion);
}

HRESULT CreateHttpClient(com::ComPtr<com::IDispatch>* client) {
  return com::CreateInstanceByProgId(httpclient::kHttpClientProgId, com::IDispatch::kIid, client->put_void());
}

namespace {

// Steps before the request: blocking mode, the agent's name and trusted authorities, credentials,
// proxy, each logged as it is taken.
void ConfigureClient(com::IDispatch* client, const UrlRequest& request, const UrlCheckSettings& settings) {
  Put(client, httpclient::kClientBlocking, Variant(true));
  if (!settings.userAgent.empty()) Put(client, httpclient::kClientUserAgent, Variant::FromUtf8(settings.userAgent));
  const HttpsTrust& trust = settings.trust;
  if (!trust.caFile.empty()) Put(client, httpclient::kClientCaFile, Variant::FromUtf8(trust.caFile));
  if (!trust.caPath.empty()) Put(client, httpclient::kClientCaPath, Variant::FromUtf8(trust.caPath));
  Log(request.url, kLogInfo);
  if (request.useUrlAuthentication) {
    Log(kUseUrlAuthenticationLog, kLogInfo);
    Put(client, httpclient::kClientUserName, Variant::FromUtf8(request.user));
    Put(client, httpclient::kClientPassword, Variant::FromUtf8(request.password));
  }
  if (const std::optional<int32_t> code = ProxyTypeCode(request.proxyType)) {
    Put(client, httpclient::kClientProxyType, Variant(*code));
  }
  Log(request.proxyType, kLogInfo);
  if (request.proxyServer.empty()) return;
  Log(kUseProxyLog, kLogInfo);
  Put(client, httpclient::kClientProxyHost, Variant::FromUtf8(request.proxyServer));
  Put(client, httpclient::kClientProxyPort, Variant(request.proxyPort));
  if (request.useProxyAuthentication) {
    Log(kUseProxyAuthenticationLog, kLogInfo);
    Put(client, httpclient::kClientProxyUserName, Variant::FromUtf8(request.proxyUser));
    Put(client, httpclient::kClientProxyPassword, Variant::FromUtf8(request.proxyPassword));
  }
}

// The outcome once Get has returned without an exception: the completion code, the status, the
// content test, in that order.
CheckOutcome OutcomeOfResponse(com::IDispatch* client, const UrlRun& run, const UrlRequest& request,
                             long long responseTime) {
  if (run.code != 0) return ErrorOutcome(run.text.empty() ? kGetFailedText : run.text);
  com::ComPtr<com::IDispatch> response;
  int32_t status = 0;
  if (com::GetProperty(client, httpclient::kClientResponse, &response) != S_OK || !response ||
      com::GetProperty(response.get(), httpclient::kResponseStatusCode, &status) != S_OK) {
    return ErrorOutcome(kNoResponseText);
  }
  if (status != 200) {
    return PageOutcome(false, FormatAnswer(kStatusText, {static_cast<long long>(status)}), responseTime);
  }
  // The page is judged from the body's file piece by piece; only without a file is it taken whole
  // from the response.
  std::optional<bool> passed;
  if (!run.bodyFile.empty()) {
    passed = CheckFileContent(run.bodyFile, request.contentCheckType, request.words, request.content);
  }
  if (!passed) {
    std::string page;
    if (com::GetProperty(response.get(), httpclient::kResponseText, &page) != S_OK) {
      return ErrorOutcome(kNoResponseText);
    }
    passed = CheckContent(page, request.contentCheckType, request.words, request.content);
  }
  response.reset();
  return PageOutcome(*passed, std::string(*passed ? kUpText : kDownText), responseTime);
}

// The request itself, with the body file that exists only while it runs.
CheckOutcome Fetch(com::IDispatch* client, UrlRun& run, const UrlRequest& request,
                   const std::filesystem::path& folder) {
  // A monotonic clock: a change of the system time during the fetch does not skew the time.
  const auto start = std::chrono::steady_clock::now();
  const UrlBodyFile bodyFile(folder);
  if (bodyFile.path().empty()) Log(kNoTempFileLog, kLogError);
  run.bodyFile = bodyFile.path();

  const HRESULT hr = com::CallMethod(client, httpclient::kClientGet, {Variant::FromUtf8(request.url)});
  if (com::Failed(hr)) {
    const std::string raised = TakeErrorText();
    Log(kGetExceptionLog, kLogError);
    return ErrorOutcome(!run.text.empty() ? run.text : !raised.empty() ? raised : std::string(kGetFailedText));
  }
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  const long long responseTime = std::min<long long>(elapsed.count(), std::numeric_limits<int32_t>::max());
  return OutcomeOfResponse(client, run, request, responseTime);
}

}  // namespace

CheckOutcome UrlCheckOutcome(const std::string& record, const HttpClientFactory& create,
                             const std::filesystem::path& folder, const UrlCheckSettings& settings) {
  const UrlRequest request = ReadUrlRequest(record);
  Log(request.contentCheckType, kLogInfo);

  com::ComPtr<com::IDispatch> client;
  if (create(&client) != S_OK || !client) return CheckOutcome::Error(std::string(kNoClientText));
  UrlRun run;
  run.client = client.get();
  const com::ComPtr<UrlEventSink> sink = com::Make<UrlEventSink>(&run);
  CheckOutcome outcome;
  {
    const EventConnection events(client.get(), static_cast<com::IDispatch*>(sink.get()));
    if (events.connected()) {
      ConfigureClient(client.get(), request, settings);
      outcome = Fetch(client.get(), run, request, folder);
    } else {
      // A client without its events could not report the transfer.
      outcome = CheckOutcome::Error(std::string(kNoClientText));
    }
  }
  sink->Detach();
  client.reset();
  return outcome;
}

CheckOutcome RunUrlCheckThroughTheAgentsClient(AgentContext& context, const std::string& record) {
  return UrlCheckOutcome(record, CreateHttpClient, PersonalFolder(),
                         {context.https, UrlCheckUserAgent(context.agentVersion)});
}

}  // namespace vorlane::agent
