#include "platform/httpclient/http_transfer.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/base/ascii.h"
#include "platform/httpclient/httpclient.h"

namespace vorlane::httpclient {
namespace {

constexpr std::string_view kSchemeText = "Only http and https URLs are fetched, not \"%s\"";
constexpr std::string_view kNoUrlText = "No URL to fetch";
constexpr std::string_view kNoProxyHostText = "The proxy type needs a proxy host";
constexpr std::string_view kBodyTooLargeText = "The response body is larger than the limit of %d bytes";
constexpr std::string_view kTimeLimitText = "%s (the limit of a transfer is %d seconds)";
constexpr std::string_view kNoSpoolText = "The response body could not be kept in a temporary file: %s";
// Bytes moved at a time between the spool and the response's file.
constexpr size_t kCopyBytes = 64 * 1024;

struct CurlDeleter {
  void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

// libcurl's global setup is not safe to run from two threads at once; the first transfer of the
// process runs it once.
bool CurlReady() {
  static std::once_flag once;
  static CURLcode setup = CURLE_FAILED_INIT;
  std::call_once(once, [] { setup = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return setup == CURLE_OK;
}

// What the callbacks fill in while the transfer runs.
struct Receiver {
  size_t cap = 0;
  bool tooLarge = false;
  int spoolError = 0;  // the errno of a failed write to the spool
  std::shared_ptr<BodySpool> body;
};

// A status line starts each response, the interim ones of an authentication round or a proxy
// tunnel among them: only the final response's body is kept.
size_t OnHeader(char* data, size_t size, size_t count, void* user) noexcept {
  const size_t bytes = size * count;
  auto* receiver = static_cast<Receiver*>(user);
  if (std::string_view(data, bytes).starts_with("HTTP/") && !receiver->body->Clear()) {
    receiver->spoolError = errno != 0 ? errno : EIO;
    return 0;
  }
  return bytes;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) noexcept {
  const size_t bytes = size * count;
  auto* receiver = static_cast<Receiver*>(user);
  if (bytes > receiver->cap - receiver->body->size()) {
    receiver->tooLarge = true;
    return 0;  // ends the transfer with CURLE_WRITE_ERROR
  }
  if (!receiver->body->Append(std::string_view(data, bytes))) {
    receiver->spoolError = errno != 0 ? errno : EIO;
    return 0;
  }
  return bytes;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

long CurlProxyType(int32_t type) {
  switch (type) {
    case kProxySocks4: return CURLPROXY_SOCKS4;
    case kProxySocks5: return CURLPROXY_SOCKS5_HOSTNAME;
    case kProxySocks4a: return CURLPROXY_SOCKS4A;
    default: return CURLPROXY_HTTP;
  }
}

// Sets the options one by one; the first that libcurl refuses ends the setup with its code.
class Options {
 public:
  explicit Options(CURL* handle) : handle_(handle) {}
  template <class T>
  Options& Set(CURLoption option, T value) {
    if (result_ == CURLE_OK) result_ = curl_easy_setopt(handle_, option, value);
    return *this;
  }
  // libcurl reads a text up to its first NUL: a text holding one is refused rather than cut to the
  // part before it (another URL, another user).
  Options& Text(CURLoption option, const std::string& value) {
    if (value.find('\0') == std::string::npos) return Set(option, value.c_str());
    if (result_ == CURLE_OK) result_ = option == CURLOPT_URL ? CURLE_URL_MALFORMAT : CURLE_BAD_FUNCTION_ARGUMENT;
    return *this;
  }
  CURLcode result() const { return result_; }

 private:
  CURL* handle_;
  CURLcode result_ = CURLE_OK;
};

void SetProxy(Options& options, const TransferRequest& request) {
  if (request.proxyType == kProxyNone) {
    options.Set(CURLOPT_PROXY, "");  // not even the environment's
    return;
  }
  if (request.proxyType != kProxyEnvironment) {
    options.Text(CURLOPT_PROXY, request.proxyHost).Set(CURLOPT_PROXYTYPE, CurlProxyType(request.proxyType));
    if (request.proxyPort > 0 && request.proxyPort <= 65535) options.Set(CURLOPT_PROXYPORT, long{request.proxyPort});
  }
  if (!request.proxyUser.empty() || !request.proxyPassword.empty()) {
    options.Text(CURLOPT_PROXYUSERNAME, request.proxyUser)
        .Text(CURLOPT_PROXYPASSWORD, request.proxyPassword)
        .Set(CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC | CURLAUTH_DIGEST));
  }
}

}  // namespace

std::shared_ptr<BodySpool> BodySpool::Make(std::string* failure) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string folder = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  UniqueFd fd(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (!fd && (errno == EOPNOTSUPP || errno == EISDIR)) {
    // A file system without unnamed files: a named one, unlinked at once.
    std::string name = folder + "/vorlane-body-XXXXXX";
    fd.reset(::mkostemp(name.data(), O_CLOEXEC));
    if (fd) (void)::unlink(name.c_str());
  }
  if (!fd) {
    *failure = std::strerror(errno);
    return nullptr;
  }
  return std::make_shared<BodySpool>(std::move(fd));
}

bool BodySpool::Append(std::string_view bytes) {
  if (!WriteAll(fd_.get(), bytes)) return false;
  size_ += bytes.size();
  return true;
}

bool BodySpool::Clear() {
  if (size_ == 0) return true;
  if (::ftruncate(fd_.get(), 0) != 0 || ::lseek(fd_.get(), 0, SEEK_SET) != 0) return false;
  size_ = 0;
  return true;
}

std::string BodySpool::Read() const {
  std::string body(size_, '\0');
  size_t done = 0;
  while (done < size_) {
    const ssize_t got = ::pread(fd_.get(), body.data() + done, size_ - done, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  body.resize(done);
  return body;
}

int BodySpool::CopyTo(const std::string& path) const {
  const UniqueFd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!out) return errno;
  std::string buffer(kCopyBytes, '\0');
  for (size_t done = 0; done < size_;) {
    const size_t want = std::min(kCopyBytes, size_ - done);
    const ssize_t got = ::pread(fd_.get(), buffer.data(), want, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return got == 0 ? EIO : errno;
    if (!WriteAll(out.get(), std::string_view(buffer.data(), static_cast<size_t>(got)))) {
      return errno != 0 ? errno : EIO;
    }
    done += static_cast<size_t>(got);
  }
  return 0;
}

std::string FillText(std::string_view tmpl, std::initializer_list<std::string_view> values) {
  std::string text;
  size_t from = 0;
  for (const std::string_view value : values) {
    const size_t at = std::min(tmpl.find("%s", from), tmpl.find("%d", from));
    if (at == std::string_view::npos) break;
    text.append(tmpl, from, at - from).append(value);
    from = at + 2;
  }
  return text.append(tmpl.substr(from));
}

std::string UrlScheme(const std::string& url) {
  const size_t end = url.find("://");
  if (end == std::string::npos || end == 0) return {};
  std::string scheme = url.substr(0, end);
  for (char c : scheme) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return {};
  }
  std::transform(scheme.begin(), scheme.end(), scheme.begin(), LowerAscii);
  return scheme;
}

TransferResult PerformTransfer(const TransferRequest& request) noexcept {
  TransferResult result;
  try {
    if (request.url.empty()) return {kDoneBadRequest, std::string(kNoUrlText), 0, {}};
    const std::string scheme = UrlScheme(request.url);
    if (!scheme.empty() && scheme != "http" && scheme != "https") {
      return {kDoneUnsupportedScheme, FillText(kSchemeText, {scheme}), 0, {}};
    }
    if (request.proxyType != kProxyNone && request.proxyType != kProxyEnvironment && request.proxyHost.empty()) {
      return {kDoneBadRequest, std::string(kNoProxyHostText), 0, {}};
    }
    if (!CurlReady()) return {CURLE_FAILED_INIT, curl_easy_strerror(CURLE_FAILED_INIT), 0, {}};
    CurlHandle handle(curl_easy_init());
    if (!handle) return {CURLE_FAILED_INIT, curl_easy_strerror(CURLE_FAILED_INIT), 0, {}};

    Receiver receiver;
    receiver.cap = static_cast<size_t>(request.maxBodyBytes);
    std::string noSpool;
    receiver.body = BodySpool::Make(&noSpool);
    if (!receiver.body) return {kDoneWriteFailed, FillText(kNoSpoolText, {noSpool}), 0, {}};
    char error[CURL_ERROR_SIZE] = {};
    Options options(handle.get());
    options.Set(CURLOPT_ERRORBUFFER, error)
        .Set(CURLOPT_NOSIGNAL, 1L)
        .Text(CURLOPT_URL, request.url)
        .Set(CURLOPT_DEFAULT_PROTOCOL, "http")
        .Set(CURLOPT_PROTOCOLS_STR, "http,https")
        .Set(CURLOPT_FOLLOWLOCATION, 0L)
        .Set(CURLOPT_SSL_VERIFYPEER, 1L)
        .Set(CURLOPT_SSL_VERIFYHOST, 2L)
        .Set(CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeoutSeconds) * 1000)
        .Set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.maxBodyBytes))
        .Set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L)
        .Set(CURLOPT_HEADERFUNCTION, &OnHeader)
        .Set(CURLOPT_HEADERDATA, &receiver)
        .Set(CURLOPT_WRITEFUNCTION, &OnBody)
        .Set(CURLOPT_WRITEDATA, &receiver);
    if (!request.caFile.empty() || !request.caPath.empty()) {
      // Only the anchors named: neither of the system's defaults stays beside them.
      options.Set(CURLOPT_CAINFO, static_cast<char*>(nullptr)).Set(CURLOPT_CAPATH, static_cast<char*>(nullptr));
      if (!request.caFile.empty()) options.Text(CURLOPT_CAINFO, request.caFile);
      if (!request.caPath.empty()) options.Text(CURLOPT_CAPATH, request.caPath);
    }
    if (!request.userAgent.empty()) options.Text(CURLOPT_USERAGENT, request.userAgent);
    if (!request.user.empty() || !request.password.empty()) {
      options.Text(CURLOPT_USERNAME, request.user)
          .Text(CURLOPT_PASSWORD, request.password)
          .Set(CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC | CURLAUTH_DIGEST));
    }
    SetProxy(options, request);
    CURLcode code = options.result();
    if (code == CURLE_OK) code = curl_easy_perform(handle.get());

    if (receiver.tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
      return {kDoneBodyTooLarge, FillText(kBodyTooLargeText, {std::to_string(request.maxBodyBytes)}), 0, {}};
    }
    if (receiver.spoolError != 0) {
      return {kDoneWriteFailed, FillText(kNoSpoolText, {std::strerror(receiver.spoolError)}), 0, {}};
    }
    if (code != CURLE_OK) {
      std::string text = error[0] != '\0' ? std::string(error) : curl_easy_strerror(code);
      if (code == CURLE_OPERATION_TIMEDOUT) {
        text = FillText(kTimeLimitText, {text, std::to_string(request.timeoutSeconds)});
      }
      return {static_cast<int32_t>(code), std::move(text), 0, {}};
    }
    long status = 0;
    (void)curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status);
    result.status = static_cast<int32_t>(status);
    result.body = std::move(receiver.body);
    return result;
  } catch (...) {
    return {CURLE_OUT_OF_MEMORY, curl_easy_strerror(CURLE_OUT_OF_MEMORY), 0, {}};
  }
}

}  // namespace vorlane::httpclient
