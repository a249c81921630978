// The HTTP client component's objects: the client, which runs one GET at a time on libcurl and
// reports it through its events, and the response of its current or last request. Both are dual,
// their members those listed in the contract header.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/connection_point.h"
#include "platform/com/contract_dispatch.h"
#include "platform/com/contract_events.h"
#include "platform/httpclient/http_transfer.h"
#include "platform/httpclient/httpclient.h"

namespace vorlane::httpclient {

class HttpResponse final : public com::ComObject<HttpResponse, com::DispatchImpl<HttpResponse, IHttpResponse>> {
 public:
  VORLANE_CONTRACT_DISPATCH(VORLANE_HTTP_RESPONSE_MEMBERS, HttpResponse, IHttpResponse)

  HttpResponse() = default;

  // IHttpResponse
  VORLANE_CONTRACT_OVERRIDES(VORLANE_HTTP_RESPONSE_MEMBERS)

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
 public:
  VORLANE_CONTRACT_DISPATCH(VORLANE_HTTP_CLIENT_MEMBERS, HttpClient, IHttpClient)

  HttpClient();

  // IHttpClient
  VORLANE_CONTRACT_OVERRIDES(VORLANE_HTTP_CLIENT_MEMBERS)

 private:
  ~HttpClient() override;

  // Raises the automation exception of a malformed call: Done with kDoneBadRequest and the text
  // first, so that a client that keeps Done's text has it, then the failure with error info.
  com::HRESULT RaiseBadCall(std::u16string_view text);
  com::HRESULT StartGet(const com::VARIANT& urlArgument);
  // HeadersDone, the body into the response's file, Done: on the thread the events are due on.
  void Complete(const com::ComPtr<HttpResponse>& response, TransferResult result) noexcept;
  template <class Event>
  void Fire(Event& event) noexcept;
  com::HRESULT GetText(std::string TransferRequest::*member, com::BSTR* value);
  com::HRESULT PutText(std::string TransferRequest::*member, com::BSTR value);
  com::HRESULT GetNumber(int32_t TransferRequest::*member, int32_t* value);
  // Values outside low ... high are refused (E_INVALIDARG with error info).
  com::HRESULT PutNumber(int32_t TransferRequest::*member, int32_t value, int32_t low, int32_t high);
  void EndRunning() noexcept;

  mutable std::mutex lock_;
  TransferRequest settings_;  // guarded by lock_, as the three below
  bool blocking_ = false;
  bool running_ = false;
  com::ComPtr<HttpResponse> response_;
};

}  // namespace vorlane::httpclient
