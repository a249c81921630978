// An HTTP/1.1 server of the tests' own on loopback: pages by path with the status, headers,
// body, delay and authentication (Basic or Digest with MD5 and qop=auth) a case needs, a page
// that never answers, and bodies streamed without a length. One response per connection, then
// the server closes it. Every wait is bounded and ends when the server stops.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "testing/peer_server.h"

namespace vorlane::testkit {

struct HttpPage {
  enum class Auth { kNone, kBasic, kDigest };
  int status = 200;
  std::string body{};
  std::string headers{};                 // extra header lines, each ending in "\r\n"
  std::chrono::milliseconds delay{0};  // before the response
  Auth auth = Auth::kNone;
  bool silent = false;       // reads the request and never answers; holds the connection until the client goes
  size_t streamBytes = 0;    // instead of `body`: this many bytes streamed without a Content-Length
  bool announceStream = false;  // the streamed body announces its length first
};

// The account the authenticated pages accept.
inline constexpr char kHttpPageUser[] = "pageuser";
inline constexpr char kHttpPagePassword[] = "pa55 word";
inline constexpr char kHttpDigestRealm[] = "vorlane-test";

class HttpPeer {
 public:
  // Paths not in `pages` answer 404.
  explicit HttpPeer(std::map<std::string, HttpPage> pages, int family = AF_INET);

  bool ok() const { return server_.ok(); }
  uint16_t port() const { return server_.port(); }
  // "http://127.0.0.1:<port><path>" (or [::1] for IPv6).
  std::string Url(std::string_view path) const;
  // The heads of the requests received, in order.
  std::vector<std::string> Requests();

 private:
  void Serve(PeerConnection& connection);
  bool Authorized(const HttpPage& page, const std::string& head) const;

  std::map<std::string, HttpPage> pages_;
  int family_;
  std::mutex lock_;
  std::vector<std::string> requests_;  // guarded by lock_
  PeerServer server_;  // last: its thread uses the members above
};

// The value of header `name` (without regard to case) in a request head, or "".
std::string HeaderValue(std::string_view head, std::string_view name);

}  // namespace vorlane::testkit
