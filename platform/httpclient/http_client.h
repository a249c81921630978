// The HTTP client component's objects: the client, which runs one GET at a time on libcurl and
// reports it through its events, and the response of its current or last request. Both are
// reached late-bound only, through the member tables below.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/connection_point.h"
#include "platform/com/dispatch_table.h"
#include "platform/httpclient/http_transfer.h"
#include "platform/httpclient/httpclient.h"

namespace vorlane::httpclient {

class HttpResponse final : public com::ComObject<HttpResponse, com::DispatchImpl<HttpResponse, IHttpResponse>> {
  com::HRESULT GetFileName(com::DispatchCall& call);
  com::HRESULT PutFileName(com::DispatchCall& call);
  com::HRESULT GetStatusCode(com::DispatchCall& call);
  com::HRESULT GetText(com::DispatchCall& call);

 public:
  static constexpr com::DispatchMember<HttpResponse> kDispatchMembers[] = {
      com::DispPropertyGet("FileName", kResponseFileName, &HttpResponse::GetFileName),
      com::DispPropertyPut("FileName", kResponseFileName, &HttpResponse::PutFileName),
      com::DispPropertyGet("StatusCode", kResponseStatusCode, &HttpResponse::GetStatusCode),
      com::DispPropertyGet("Text", kResponseText, &HttpResponse::GetText),
  };

  HttpResponse() = default;

  std::string FileName() const;
  // The outcome of the transfer: its status and body.
  void SetOutcome(int32_t status, std::shared_ptr<const BodySpool> body);
  // Writes the body to the named file (replacing it); an empty text when that worked or no file
  // is named, else what failed.
  std::string WriteBody() const;

 private:
  ~HttpResponse() override = default;

  mutable std::mutex lock_;
  std::string fileName_;  // guarded by lock_, as the two below
  int32_t status_ = 0;
  std::shared_ptr<const BodySpool> body_;  // none before a response came
};

class HttpClient final : public com::ComObject<HttpClient, com::DispatchImpl<HttpClient, IHttpClient>,
                                               com::ConnectionPointContainerImpl<HttpClient>> {
  com::HRESULT GetBlocking(com::DispatchCall& call);
  com::HRESULT PutBlocking(com::DispatchCall& call);
  com::HRESULT GetUserName(com::DispatchCall& call);
  com::HRESULT PutUserName(com::DispatchCall& call);
  com::HRESULT PutPassword(com::DispatchCall& call);
  com::HRESULT GetResponse(com::DispatchCall& call);
  com::HRESULT InvokeGet(com::DispatchCall& call);
  com::HRESULT GetProxyType(com::DispatchCall& call);
  com::HRESULT PutProxyType(com::DispatchCall& call);
  com::HRESULT GetProxyUserName(com::DispatchCall& call);
  com::HRESULT PutProxyUserName(com::DispatchCall& call);
  com::HRESULT PutProxyPassword(com::DispatchCall& call);
  com::HRESULT GetProxyHost(com::DispatchCall& call);
  com::HRESULT PutProxyHost(com::DispatchCall& call);
  com::HRESULT GetProxyPort(com::DispatchCall& call);
  com::HRESULT PutProxyPort(com::DispatchCall& call);
  com::HRESULT GetTimeout(com::DispatchCall& call);
  com::HRESULT PutTimeout(com::DispatchCall& call);
  com::HRESULT GetMaxBodySize(com::DispatchCall& call);
  com::HRESULT GetCaFile(com::DispatchCall& call);
  com::HRESULT PutCaFile(com::DispatchCall& call);
  com::HRESULT GetCaPath(com::DispatchCall& call);
  com::HRESULT PutCaPath(com::DispatchCall& call);
  com::HRESULT GetUserAgent(com::DispatchCall& call);
  com::HRESULT PutUserAgent(com::DispatchCall& call);
  com::HRESULT GetText(com::DispatchCall& call, std::string TransferRequest::*member);
  com::HRESULT PutText(com::DispatchCall& call, std::string TransferRequest::*member);
  com::HRESULT GetNumber(com::DispatchCall& call, int32_t TransferRequest::*member);
  // Values outside low ... high are refused (E_INVALIDARG with error info).
  com::HRESULT PutNumber(com::DispatchCall& call, int32_t TransferRequest::*member, int32_t low, int32_t high);
  com::HRESULT PutMaxBodySize(com::DispatchCall& call);

 public:
  // Passwords can be set, never read back.
  static constexpr com::DispatchMember<HttpClient> kDispatchMembers[] = {
      com::DispPropertyGet("Blocking", kClientBlocking, &HttpClient::GetBlocking),
      com::DispPropertyPut("Blocking", kClientBlocking, &HttpClient::PutBlocking),
      com::DispPropertyGet("UserName", kClientUserName, &HttpClient::GetUserName),
      com::DispPropertyPut("UserName", kClientUserName, &HttpClient::PutUserName),
      com::DispPropertyPut("Password", kClientPassword, &HttpClient::PutPassword),
      com::DispPropertyGet("Response", kClientResponse, &HttpClient::GetResponse),
      // The URL is checked by the handler so that a call without one raises an exception with
      // a text rather than failing on the argument count.
      com::DispMethod("Get", kClientGet, &HttpClient::InvokeGet, 0, 1),
      com::DispPropertyGet("ProxyType", kClientProxyType, &HttpClient::GetProxyType),
      com::DispPropertyPut("ProxyType", kClientProxyType, &HttpClient::PutProxyType),
      com::DispPropertyGet("ProxyUserName", kClientProxyUserName, &HttpClient::GetProxyUserName),
      com::DispPropertyPut("ProxyUserName", kClientProxyUserName, &HttpClient::PutProxyUserName),
      com::DispPropertyPut("ProxyPassword", kClientProxyPassword, &HttpClient::PutProxyPassword),
      com::DispPropertyGet("ProxyHost", kClientProxyHost, &HttpClient::GetProxyHost),
      com::DispPropertyPut("ProxyHost", kClientProxyHost, &HttpClient::PutProxyHost),
      com::DispPropertyGet("ProxyPort", kClientProxyPort, &HttpClient::GetProxyPort),
      com::DispPropertyPut("ProxyPort", kClientProxyPort, &HttpClient::PutProxyPort),
      com::DispPropertyGet("Timeout", kClientTimeout, &HttpClient::GetTimeout),
      com::DispPropertyPut("Timeout", kClientTimeout, &HttpClient::PutTimeout),
      com::DispPropertyGet("MaxBodySize", kClientMaxBodySize, &HttpClient::GetMaxBodySize),
      com::DispPropertyPut("MaxBodySize", kClientMaxBodySize, &HttpClient::PutMaxBodySize),
      com::DispPropertyGet("CaFile", kClientCaFile, &HttpClient::GetCaFile),
      com::DispPropertyPut("CaFile", kClientCaFile, &HttpClient::PutCaFile),
      com::DispPropertyGet("CaPath", kClientCaPath, &HttpClient::GetCaPath),
      com::DispPropertyPut("CaPath", kClientCaPath, &HttpClient::PutCaPath),
      com::DispPropertyGet("UserAgent", kClientUserAgent, &HttpClient::GetUserAgent),
      com::DispPropertyPut("UserAgent", kClientUserAgent, &HttpClient::PutUserAgent),
  };

  HttpClient();

 private:
  ~HttpClient() override;

  // Raises the automation exception of a malformed call: Done with kDoneBadRequest and the text
  // first, so that a client that keeps Done's text has it, then the failure with error info.
  com::HRESULT RaiseBadCall(std::u16string_view text);
  // HeadersDone, the body into the response's file, Done: on the thread the events are due on.
  void Complete(const com::ComPtr<HttpResponse>& response, TransferResult result) noexcept;
  void Fire(com::DISPID id, std::initializer_list<com::Variant> args) noexcept;
  void EndRunning() noexcept;

  mutable std::mutex lock_;
  TransferRequest settings_;  // guarded by lock_, as the three below
  bool blocking_ = false;
  bool running_ = false;
  com::ComPtr<HttpResponse> response_;
};

}  // namespace vorlane::httpclient
