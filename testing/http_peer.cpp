#include "testing/http_peer.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>

namespace vorlane::testkit {
namespace {

constexpr char kNonce[] = "5f0c3a1e9b7d";

std::string Md5Hex(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

std::string Base64(std::string_view text) {
  std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

// The value of `key` in a Digest header's list (quoted or not).
std::string DigestParameter(std::string_view header, std::string_view key) {
  for (size_t at = 0; at < header.size();) {
    while (at < header.size() && (header[at] == ' ' || header[at] == ',')) ++at;
    const size_t equals = header.find('=', at);
    if (equals == std::string_view::npos) return {};
    const std::string_view name = header.substr(at, equals - at);
    size_t end;
    std::string value;
    if (equals + 1 < header.size() && header[equals + 1] == '"') {
      end = header.find('"', equals + 2);
      if (end == std::string_view::npos) return {};
      value = header.substr(equals + 2, end - equals - 2);
      ++end;
    } else {
      end = std::min(header.find(',', equals), header.size());
      value = header.substr(equals + 1, end - equals - 1);
    }
    if (name == key) return value;
    at = end;
  }
  return {};
}

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 302: return "Found";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
  }
}

std::string Head(int status, size_t length, std::string_view headers, bool withLength = true) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
  head += "Content-Type: text/html; charset=utf-8\r\nConnection: close\r\n";
  if (withLength) head += "Content-Length: " + std::to_string(length) + "\r\n";
  head += headers;
  head += "\r\n";
  return head;
}

}  // namespace

std::string HeaderValue(std::string_view head, std::string_view name) {
  for (size_t at = head.find("\r\n"); at != std::string_view::npos && at + 2 < head.size();) {
    const size_t start = at + 2;
    const size_t end = head.find("\r\n", start);
    const std::string_view line = head.substr(start, end == std::string_view::npos ? head.npos : end - start);
    const size_t colon = line.find(':');
    if (colon == name.size() &&
        std::equal(name.begin(), name.end(), line.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        })) {
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
      return std::string(value);
    }
    at = end;
  }
  return {};
}

HttpPeer::HttpPeer(std::map<std::string, HttpPage> pages, int family)
    : pages_(std::move(pages)), family_(family), server_([this](PeerConnection& c) { Serve(c); }, family) {}

std::string HttpPeer::Url(std::string_view path) const {
  const std::string host = family_ == AF_INET6 ? "[::1]" : "127.0.0.1";
  return "http://" + host + ":" + std::to_string(port()) + std::string(path);
}

std::vector<std::string> HttpPeer::Requests() {
  std::lock_guard guard(lock_);
  return requests_;
}

bool HttpPeer::Authorized(const HttpPage& page, const std::string& head) const {
  const std::string authorization = HeaderValue(head, "Authorization");
  if (page.auth == HttpPage::Auth::kBasic) {
    return authorization == "Basic " + Base64(std::string(kHttpPageUser) + ":" + kHttpPagePassword);
  }
  if (!authorization.starts_with("Digest ")) return false;
  const std::string_view list = std::string_view(authorization).substr(7);
  const std::string uri = DigestParameter(list, "uri");
  const std::string ha1 = Md5Hex(std::string(kHttpPageUser) + ":" + kHttpDigestRealm + ":" + kHttpPagePassword);
  const std::string ha2 = Md5Hex("GET:" + uri);
  const std::string expected = Md5Hex(ha1 + ":" + kNonce + ":" + DigestParameter(list, "nc") + ":" +
                                      DigestParameter(list, "cnonce") + ":auth:" + ha2);
  return DigestParameter(list, "username") == kHttpPageUser && DigestParameter(list, "nonce") == kNonce &&
         DigestParameter(list, "qop") == "auth" && DigestParameter(list, "response") == expected;
}

void HttpPeer::Serve(PeerConnection& connection) {
  std::string head;
  for (int round = 0; round < 1000 && head.find("\r\n\r\n") == std::string::npos; ++round) {
    const std::string data = connection.Receive(10s);
    if (data.empty()) return;
    head += data;
  }
  head.resize(head.find("\r\n\r\n") + 2);
  {
    std::lock_guard guard(lock_);
    requests_.push_back(head);
  }
  // "GET <target> HTTP/1.1": the target is a path, or an absolute URL through a proxy.
  std::string target = head.substr(0, head.find("\r\n"));
  const size_t space = target.find(' ');
  target = target.substr(space + 1, target.rfind(' ') - space - 1);
  if (const size_t scheme = target.find("://"); scheme != std::string::npos) {
    const size_t slash = target.find('/', scheme + 3);
    target = slash == std::string::npos ? "/" : target.substr(slash);
  }
  const auto found = pages_.find(target);
  if (found == pages_.end()) {
    const std::string body = "<html><body>not found</body></html>";
    (void)connection.Send(Head(404, body.size(), "") + body);
    return;
  }
  const HttpPage& page = found->second;
  if (page.silent) {
    (void)connection.WaitForClientClose(120s);
    return;
  }
  if (page.delay > 0ms) (void)connection.WaitForRelease(page.delay);
  if (page.auth != HttpPage::Auth::kNone && !Authorized(page, head)) {
    const std::string challenge =
        page.auth == HttpPage::Auth::kBasic
            ? std::string("WWW-Authenticate: Basic realm=\"") + kHttpDigestRealm + "\"\r\n"
            : std::string("WWW-Authenticate: Digest realm=\"") + kHttpDigestRealm + "\", nonce=\"" + kNonce +
                  "\", qop=\"auth\", algorithm=MD5\r\n";
    const std::string body = "<html><body>who are you</body></html>";
    (void)connection.Send(Head(401, body.size(), challenge) + body);
    return;
  }
  if (page.streamBytes == 0) {
    (void)connection.Send(Head(page.status, page.body.size(), page.headers) + page.body);
    return;
  }
  if (!connection.Send(Head(page.status, page.streamBytes, page.headers, page.announceStream))) return;
  const std::string piece(64 * 1024, 'x');
  for (size_t sent = 0; sent < page.streamBytes;) {
    const size_t n = std::min(piece.size(), page.streamBytes - sent);
    if (!connection.Send(std::string_view(piece).substr(0, n))) return;
    sent += n;
  }
}

}  // namespace vorlane::testkit
