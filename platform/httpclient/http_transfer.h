// One HTTP GET on libcurl, on the calling thread, with its own easy handle: the request as the
// client's properties describe it, the outcome as the client reports it. The body is kept in
// memory up to the cap; the client writes it to the response's file afterwards.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace vorlane::httpclient {

struct TransferRequest {
  std::string url{};
  std::string user{};
  std::string password{};
  int32_t proxyType = 0;
  std::string proxyHost{};
  int32_t proxyPort = 0;
  std::string proxyUser{};
  std::string proxyPassword{};
  int32_t timeoutSeconds = 0;
  int32_t maxBodyBytes = 0;
  std::string caFile{};  // trust anchors instead of the system's store; empty for the system's
};

struct TransferResult {
  int32_t code = 0;  // a DoneCode or libcurl's result code
  std::string text{};  // empty when code is 0
  int32_t status = 0;
  std::string body{};  // the body of the final response
};

// `tmpl` with its "%s" and "%d" places filled by `values`, in order; places beyond the values
// stay as they are.
std::string FillText(std::string_view tmpl, std::initializer_list<std::string_view> values);

// The scheme of `url` in lower case when it names one ("scheme://..."), else empty.
std::string UrlScheme(const std::string& url);

// Never throws; every failure is in the result.
TransferResult PerformTransfer(const TransferRequest& request) noexcept;

}  // namespace vorlane::httpclient
