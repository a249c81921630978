#include "platform/httpclient/http_client.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/com/error_info.h"
#include "platform/com/module_thread.h"
#include "platform/com/text.h"
#include "platform/com/text_out.h"
#include "platform/loop/message_loop.h"

namespace vorlane::httpclient {

using com::BSTR;
using com::HRESULT;
using com::S_OK;
using com::Variant;
using com::VARIANT_BOOL;

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

HRESULT HttpResponse::get_FileName(BSTR* value) {
  return com::CatchReturn([&] { return com::CopyOutUtf8(FileName(), value); });
}

HRESULT HttpResponse::put_FileName(BSTR value) {
  return com::CatchReturn([&] {
    std::string name = com::Utf16ToUtf8(com::TextOf(value));
    std::lock_guard lock(lock_);
    fileName_ = std::move(name);
    return S_OK;
  });
}

HRESULT HttpResponse::get_StatusCode(int16_t* value) {
  if (value == nullptr) return com::E_POINTER;
  std::lock_guard lock(lock_);
  *value = static_cast<int16_t>(status_);
  return S_OK;
}

HRESULT HttpResponse::get_Text(BSTR* value) {
  return com::CatchReturn([&] {
    std::lock_guard lock(lock_);
    return com::CopyOutUtf8(body_ ? body_->Read() : std::string(), value);
  });
}

// ---------------------------------------------------------------- the client

HttpClient::HttpClient() : response_(com::Make<HttpResponse>()) {
  ConnectionPoints().Add(IHttpClientEvents::kIid);
  settings_.timeoutSeconds = kDefaultTimeoutSeconds;
  settings_.maxBodyBytes = kDefaultMaxBodyBytes;
}

HttpClient::~HttpClient() { ConnectionPoints().DisconnectAll(); }

template <class Event>
void HttpClient::Fire(Event& event) noexcept {
  try {
    com::FireEvent(ConnectionPoints().Find(IHttpClientEvents::kIid), IHttpClientEvents::kIid, event);
  } catch (...) {
    // Out of memory before any sink was called: the event is lost, as a failed snapshot loses it.
  }
}

void HttpClient::Complete(const com::ComPtr<HttpResponse>& response, TransferResult result) noexcept {
  if (result.code == kDoneOk) {
    response->SetOutcome(result.status, std::move(result.body));
    HeadersDoneEvent headersDone;
    Fire(headersDone);
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
  DoneEvent done{.code = result.code, .text = std::move(result.text)};
  Fire(done);
}

void HttpClient::EndRunning() noexcept {
  std::lock_guard lock(lock_);
  running_ = false;
}

HRESULT HttpClient::RaiseBadCall(std::u16string_view text) {
  DoneEvent done{.code = kDoneBadRequest, .text = com::Utf16ToUtf8(text)};
  Fire(done);
  return Rejected(com::E_INVALIDARG, text);
}

HRESULT HttpClient::Get(com::VARIANT urlArgument) {
  return com::CatchReturn([&] { return StartGet(urlArgument); });
}

HRESULT HttpClient::StartGet(const com::VARIANT& urlArgument) {
  if (urlArgument.vt == com::VT_ERROR && urlArgument.scode == com::DISP_E_PARAMNOTFOUND) return RaiseBadCall(kNoUrlText);
  Variant argument;
  VORLANE_RETURN_IF_FAILED(argument.CopyFrom(urlArgument));
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

HRESULT HttpClient::get_Response(IHttpResponse** value) {
  if (value == nullptr) return com::E_POINTER;
  std::lock_guard lock(lock_);
  *value = response_.get();
  (*value)->AddRef();
  return S_OK;
}

HRESULT HttpClient::get_Blocking(VARIANT_BOOL* value) {
  if (value == nullptr) return com::E_POINTER;
  std::lock_guard lock(lock_);
  *value = blocking_ ? com::VARIANT_TRUE : com::VARIANT_FALSE;
  return S_OK;
}
HRESULT HttpClient::put_Blocking(VARIANT_BOOL value) {
  std::lock_guard lock(lock_);
  blocking_ = value != com::VARIANT_FALSE;
  return S_OK;
}

HRESULT HttpClient::GetText(std::string TransferRequest::*member, BSTR* value) {
  return com::CatchReturn([&] {
    std::lock_guard lock(lock_);
    return com::CopyOutUtf8(settings_.*member, value);
  });
}
HRESULT HttpClient::PutText(std::string TransferRequest::*member, BSTR value) {
  return com::CatchReturn([&] {
    std::string text = com::Utf16ToUtf8(com::TextOf(value));
    std::lock_guard lock(lock_);
    settings_.*member = std::move(text);
    return S_OK;
  });
}
HRESULT HttpClient::GetNumber(int32_t TransferRequest::*member, int32_t* value) {
  if (value == nullptr) return com::E_POINTER;
  std::lock_guard lock(lock_);
  *value = settings_.*member;
  return S_OK;
}
HRESULT HttpClient::PutNumber(int32_t TransferRequest::*member, int32_t value, int32_t low, int32_t high) {
  if (value < low || value > high) return Rejected(com::E_INVALIDARG, kOutOfRangeText);
  std::lock_guard lock(lock_);
  settings_.*member = value;
  return S_OK;
}

HRESULT HttpClient::get_UserName(BSTR* value) { return GetText(&TransferRequest::user, value); }
HRESULT HttpClient::put_UserName(BSTR value) { return PutText(&TransferRequest::user, value); }
HRESULT HttpClient::put_Password(BSTR value) { return PutText(&TransferRequest::password, value); }
HRESULT HttpClient::get_ProxyUserName(BSTR* value) { return GetText(&TransferRequest::proxyUser, value); }
HRESULT HttpClient::put_ProxyUserName(BSTR value) { return PutText(&TransferRequest::proxyUser, value); }
HRESULT HttpClient::put_ProxyPassword(BSTR value) { return PutText(&TransferRequest::proxyPassword, value); }
HRESULT HttpClient::get_ProxyHost(BSTR* value) { return GetText(&TransferRequest::proxyHost, value); }
HRESULT HttpClient::put_ProxyHost(BSTR value) { return PutText(&TransferRequest::proxyHost, value); }
HRESULT HttpClient::get_CaFile(BSTR* value) { return GetText(&TransferRequest::caFile, value); }
HRESULT HttpClient::put_CaFile(BSTR value) { return PutText(&TransferRequest::caFile, value); }
HRESULT HttpClient::get_CaPath(BSTR* value) { return GetText(&TransferRequest::caPath, value); }
HRESULT HttpClient::put_CaPath(BSTR value) { return PutText(&TransferRequest::caPath, value); }
HRESULT HttpClient::get_UserAgent(BSTR* value) { return GetText(&TransferRequest::userAgent, value); }
HRESULT HttpClient::put_UserAgent(BSTR value) { return PutText(&TransferRequest::userAgent, value); }
HRESULT HttpClient::get_ProxyType(int32_t* value) { return GetNumber(&TransferRequest::proxyType, value); }
HRESULT HttpClient::put_ProxyType(int32_t value) {
  return PutNumber(&TransferRequest::proxyType, value, kProxyNone, kProxyEnvironment);
}
HRESULT HttpClient::get_ProxyPort(int32_t* value) { return GetNumber(&TransferRequest::proxyPort, value); }
HRESULT HttpClient::put_ProxyPort(int32_t value) { return PutNumber(&TransferRequest::proxyPort, value, 0, 65535); }
HRESULT HttpClient::get_Timeout(int32_t* value) { return GetNumber(&TransferRequest::timeoutSeconds, value); }
HRESULT HttpClient::put_Timeout(int32_t value) {
  return PutNumber(&TransferRequest::timeoutSeconds, value, 1, kLongestTimeoutSeconds);
}
HRESULT HttpClient::get_MaxBodySize(int32_t* value) { return GetNumber(&TransferRequest::maxBodyBytes, value); }
HRESULT HttpClient::put_MaxBodySize(int32_t value) {
  return PutNumber(&TransferRequest::maxBodyBytes, value, 1, kDefaultMaxBodyBytes);
}

}  // namespace vorlane::httpclient
