#include "platform/httpclient/http_client.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/com/error_info.h"
#include "platform/com/module_thread.h"
#include "platform/com/text.h"
#include "platform/loop/message_loop.h"

namespace vorlane::httpclient {

using com::DispatchCall;
using com::HRESULT;
using com::S_OK;
using com::Variant;

namespace {

constexpr std::u16string_view kSource = u"Vorlane.HttpClient";
constexpr std::u16string_view kNoUrlText = u"Get needs the URL as its argument";
constexpr std::u16string_view kUrlNotTextText = u"Get needs the URL as text";
constexpr std::u16string_view kEmptyUrlText = u"Get needs a URL that is not empty";
constexpr std::u16string_view kBusyText = u"A request of this client is still running";
constexpr std::u16string_view kNoThreadText = u"The request could not be started";
constexpr std::u16string_view kOutOfRangeText = u"The value is out of range";
constexpr std::string_view kWriteFailedText = "The response body could not be written to \"%s\": %s";

HRESULT Rejected(HRESULT hr, std::u16string_view text) {
  return com::SetErrorAndReturn(hr, IHttpClient::kIid, kSource, text);
}

}  // namespace

// ---------------------------------------------------------------- the response

std::string HttpResponse::FileName() const {
  std::lock_guard lock(lock_);
  return fileName_;
}

void HttpResponse::SetOutcome(int32_t status, std::shared_ptr<const BodySpool> body) {
  std::lock_guard lock(lock_);
  status_ = status;
  body_ = std::move(body);
}

std::string HttpResponse::WriteBody() const {
  std::lock_guard lock(lock_);
  if (fileName_.empty() || !body_) return {};
  const int failed = body_->CopyTo(fileName_);
  if (failed == 0) return {};
  return FillText(kWriteFailedText, {fileName_, std::strerror(failed)});
}

HRESULT HttpResponse::GetFileName(DispatchCall& call) { return call.Return(Variant::FromUtf8(FileName())); }

HRESULT HttpResponse::PutFileName(DispatchCall& call) {
  std::string name;
  VORLANE_RETURN_IF_FAILED(call.Read(0, &name));
  std::lock_guard lock(lock_);
  fileName_ = std::move(name);
  return S_OK;
}

HRESULT HttpResponse::GetStatusCode(DispatchCall& call) {
  std::lock_guard lock(lock_);
  return call.Return(Variant(static_cast<int16_t>(status_)));
}

HRESULT HttpResponse::GetText(DispatchCall& call) {
  std::lock_guard lock(lock_);
  return call.Return(Variant::FromUtf8(body_ ? body_->Read() : std::string()));
}

// ---------------------------------------------------------------- the client

HttpClient::HttpClient() : response_(com::Make<HttpResponse>()) {
  ConnectionPoints().Add(IHttpClientEvents::kIid);
  settings_.timeoutSeconds = kDefaultTimeoutSeconds;
  settings_.maxBodyBytes = kDefaultMaxBodyBytes;
}

HttpClient::~HttpClient() { ConnectionPoints().DisconnectAll(); }

void HttpClient::Fire(com::DISPID id, std::initializer_list<Variant> args) noexcept {
  com::ConnectionPoint* point = ConnectionPoints().Find(IHttpClientEvents::kIid);
  if (point == nullptr) return;
  std::vector<com::ComPtr<com::IUnknown>> sinks;
  try {
    sinks = point->Snapshot();
  } catch (...) {
    return;
  }
  for (const auto& sink : sinks) (void)com::InvokeEvent(sink.get(), IHttpClientEvents::kIid, id, args);
}

void HttpClient::Complete(const com::ComPtr<HttpResponse>& response, TransferResult result) noexcept {
  if (result.code == kDoneOk) {
    response->SetOutcome(result.status, std::move(result.body));
    Fire(kEventHeadersDone, {});
    try {
      std::string failure = response->WriteBody();
      if (!failure.empty()) {
        result.code = kDoneWriteFailed;
        result.text = std::move(failure);
      }
    } catch (...) {
      result.code = kDoneWriteFailed;
      result.text = "The response body could not be written";
    }
  }
  EndRunning();
  Fire(kEventDone, {Variant(result.code), Variant::FromUtf8(result.text)});
}

void HttpClient::EndRunning() noexcept {
  std::lock_guard lock(lock_);
  running_ = false;
}

HRESULT HttpClient::RaiseBadCall(std::u16string_view text) {
  Fire(kEventDone, {Variant(int32_t{kDoneBadRequest}), Variant(text)});
  return Rejected(com::E_INVALIDARG, text);
}

HRESULT HttpClient::InvokeGet(DispatchCall& call) {
  if (call.IsMissing(0)) return RaiseBadCall(kNoUrlText);
  Variant argument;
  VORLANE_RETURN_IF_FAILED(call.Read(0, &argument));
  std::string url;
  if (com::Failed(argument.ToUtf8(&url))) return RaiseBadCall(kUrlNotTextText);
  if (url.empty()) return RaiseBadCall(kEmptyUrlText);

  TransferRequest request;
  bool blocking = false;
  com::ComPtr<HttpResponse> response = com::Make<HttpResponse>();
  {
    std::lock_guard lock(lock_);
    if (running_) return Rejected(com::E_UNEXPECTED, kBusyText);
    running_ = true;
    request = settings_;
    blocking = blocking_;
    response_ = response;
  }
  request.url = std::move(url);

  if (blocking) {
    Complete(response, PerformTransfer(request));
    return S_OK;
  }
  // The events are due on the caller's loop; a caller without one gets them on the worker. When
  // the caller's loop is gone, and with it whoever waited for the events, only the client's state
  // is put right, so that it can take the next request.
  com::ComPtr<HttpClient> self(this);
  auto result = std::make_shared<TransferResult>();
  const int started = com::RunModuleJob([request, result] { *result = PerformTransfer(request); },
                                        [self, response, result] { self->Complete(response, std::move(*result)); },
                                        [self] { self->EndRunning(); });
  if (started != 0) {
    EndRunning();
    return Rejected(com::E_FAIL, kNoThreadText);
  }
  return S_OK;
}

HRESULT HttpClient::GetResponse(DispatchCall& call) {
  com::ComPtr<HttpResponse> response;
  {
    std::lock_guard lock(lock_);
    response = response_;
  }
  return call.Return(Variant(static_cast<IHttpResponse*>(response.get())));
}

HRESULT HttpClient::GetBlocking(DispatchCall& call) {
  std::lock_guard lock(lock_);
  return call.Return(Variant(blocking_));
}
HRESULT HttpClient::PutBlocking(DispatchCall& call) {
  bool value = false;
  VORLANE_RETURN_IF_FAILED(call.Read(0, &value));
  std::lock_guard lock(lock_);
  blocking_ = value;
  return S_OK;
}

HRESULT HttpClient::GetText(DispatchCall& call, std::string TransferRequest::*member) {
  std::lock_guard lock(lock_);
  return call.Return(Variant::FromUtf8(settings_.*member));
}
HRESULT HttpClient::PutText(DispatchCall& call, std::string TransferRequest::*member) {
  std::string value;
  VORLANE_RETURN_IF_FAILED(call.Read(0, &value));
  std::lock_guard lock(lock_);
  settings_.*member = std::move(value);
  return S_OK;
}
HRESULT HttpClient::GetNumber(DispatchCall& call, int32_t TransferRequest::*member) {
  std::lock_guard lock(lock_);
  return call.Return(Variant(settings_.*member));
}
HRESULT HttpClient::PutNumber(DispatchCall& call, int32_t TransferRequest::*member, int32_t low, int32_t high) {
  int32_t value = 0;
  VORLANE_RETURN_IF_FAILED(call.Read(0, &value));
  if (value < low || value > high) return Rejected(com::E_INVALIDARG, kOutOfRangeText);
  std::lock_guard lock(lock_);
  settings_.*member = value;
  return S_OK;
}

HRESULT HttpClient::GetUserName(DispatchCall& call) { return GetText(call, &TransferRequest::user); }
HRESULT HttpClient::PutUserName(DispatchCall& call) { return PutText(call, &TransferRequest::user); }
HRESULT HttpClient::PutPassword(DispatchCall& call) { return PutText(call, &TransferRequest::password); }
HRESULT HttpClient::GetProxyUserName(DispatchCall& call) { return GetText(call, &TransferRequest::proxyUser); }
HRESULT HttpClient::PutProxyUserName(DispatchCall& call) { return PutText(call, &TransferRequest::proxyUser); }
HRESULT HttpClient::PutProxyPassword(DispatchCall& call) { return PutText(call, &TransferRequest::proxyPassword); }
HRESULT HttpClient::GetProxyHost(DispatchCall& call) { return GetText(call, &TransferRequest::proxyHost); }
HRESULT HttpClient::PutProxyHost(DispatchCall& call) { return PutText(call, &TransferRequest::proxyHost); }
HRESULT HttpClient::GetCaFile(DispatchCall& call) { return GetText(call, &TransferRequest::caFile); }
HRESULT HttpClient::PutCaFile(DispatchCall& call) { return PutText(call, &TransferRequest::caFile); }
HRESULT HttpClient::GetCaPath(DispatchCall& call) { return GetText(call, &TransferRequest::caPath); }
HRESULT HttpClient::PutCaPath(DispatchCall& call) { return PutText(call, &TransferRequest::caPath); }
HRESULT HttpClient::GetUserAgent(DispatchCall& call) { return GetText(call, &TransferRequest::userAgent); }
HRESULT HttpClient::PutUserAgent(DispatchCall& call) { return PutText(call, &TransferRequest::userAgent); }
HRESULT HttpClient::GetProxyType(DispatchCall& call) { return GetNumber(call, &TransferRequest::proxyType); }
HRESULT HttpClient::PutProxyType(DispatchCall& call) {
  return PutNumber(call, &TransferRequest::proxyType, kProxyNone, kProxyEnvironment);
}
HRESULT HttpClient::GetProxyPort(DispatchCall& call) { return GetNumber(call, &TransferRequest::proxyPort); }
HRESULT HttpClient::PutProxyPort(DispatchCall& call) { return PutNumber(call, &TransferRequest::proxyPort, 0, 65535); }
HRESULT HttpClient::GetTimeout(DispatchCall& call) { return GetNumber(call, &TransferRequest::timeoutSeconds); }
HRESULT HttpClient::PutTimeout(DispatchCall& call) {
  return PutNumber(call, &TransferRequest::timeoutSeconds, 1, kLongestTimeoutSeconds);
}
HRESULT HttpClient::GetMaxBodySize(DispatchCall& call) { return GetNumber(call, &TransferRequest::maxBodyBytes); }
HRESULT HttpClient::PutMaxBodySize(DispatchCall& call) {
  return PutNumber(call, &TransferRequest::maxBodyBytes, 1, kDefaultMaxBodyBytes);
}

}  // namespace vorlane::httpclient
