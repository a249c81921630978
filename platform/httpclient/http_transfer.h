// One HTTP GET on libcurl, on the calling thread, with its own easy handle: the request as the
// client's properties describe it, the outcome as the client reports it. The body goes to an
// unnamed temporary file as it arrives, up to the cap, so that a page of any size costs the
// process no memory; the client copies it to the response's file afterwards.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "platform/base/unique_fd.h"

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
  // Trust anchors instead of the system's store: a PEM file, a folder of hashed certificates, or
  // both; the system's store when both are empty.
  std::string caFile{};
  std::string caPath{};
  std::string userAgent{};  // none sent when empty
};

// A body on its way to the client: an unnamed file in the temporary folder ($TMPDIR or /tmp),
// gone with the last descriptor.
class BodySpool {
 public:
  // Empty (no descriptor) when no file could be made; `failure` then says why.
  static std::shared_ptr<BodySpool> Make(std::string* failure);
  explicit BodySpool(UniqueFd fd) : fd_(std::move(fd)) {}

  size_t size() const { return size_; }
  bool Append(std::string_view bytes);
  // Drops what was written, as a new response begins.
  bool Clear();
  // The whole body.
  std::string Read() const;
  // The body into `path` (made or replaced): 0, or the errno of what failed.
  int CopyTo(const std::string& path) const;

 private:
  UniqueFd fd_;
  size_t size_ = 0;
};

struct TransferResult {
  int32_t code = 0;  // a DoneCode or libcurl's result code
  std::string text{};  // empty when code is 0
  int32_t status = 0;
  std::shared_ptr<const BodySpool> body{};  // the body of the final response; none on failure
};

// `tmpl` with its "%s" and "%d" places filled by `values`, in order; places beyond the values
// stay as they are.
std::string FillText(std::string_view tmpl, std::initializer_list<std::string_view> values);

// The scheme of `url` in lower case when it names one ("scheme://..."), else empty.
std::string UrlScheme(const std::string& url);

// Never throws; every failure is in the result.
TransferResult PerformTransfer(const TransferRequest& request) noexcept;

}  // namespace vorlane::httpclient
