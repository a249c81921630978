#include "tcpclient/firewall_negotiation.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/base/unique_fd.h"
#include "tcpclient/tests/proxy_servers.h"
#include "testing/agent_process.h"
#include "testing/temp_dir.h"

namespace vorlane::tcpclient {
namespace {

using namespace std::chrono_literals;
using Step = FirewallNegotiation::Step;
using testing::ConnectLoopback;
using testing::EchoServer;
using testing::kDanted;
using testing::kProxyPassword;
using testing::kProxyUser;
using testing::kTinyproxy;
using testing::ProxyProcess;
using testing::SendAll;
using testing::StartDanted;
using testing::StartTinyproxy;

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

// Feeds `reply` whole or one byte at a time; the total taken and the last step.
struct FeedResult {
  Step step;
  size_t consumed;
};
FeedResult FeedReply(FirewallNegotiation& negotiation, std::string_view reply, bool byteByByte) {
  size_t total = 0;
  Step step = negotiation.Current();
  if (!byteByByte) {
    step = negotiation.Feed(reply, &total);
    return {step, total};
  }
  for (size_t at = 0; at < reply.size(); ++at) {
    size_t taken = 99;
    step = negotiation.Feed(reply.substr(at, 1), &taken);
    total += taken;
    if (taken == 0) break;
  }
  return {step, total};
}

// ---------------------------------------------------------------------------------------------
// Requests

struct RequestCase {
  const char* name;
  FirewallTarget target;
  std::string request;
};

TEST(FirewallNegotiationTest, FirstRequestIsByteExact) {
  const std::vector<RequestCase> cases = {
      {"tunnel", {FirewallKind::kTunnel, "example.org", 443, "", "", ""}, "CONNECT example.org:443 HTTP/1.0\r\n\r\n"},
      {"tunnel with credentials", {FirewallKind::kTunnel, "10.1.2.3", 25, "user", "pass", ""},
       "CONNECT 10.1.2.3:25 HTTP/1.0\r\nProxy-authorization: Basic dXNlcjpwYXNz\r\n\r\n"},
      {"tunnel with user only", {FirewallKind::kTunnel, "h", 1, "user", "", ""},
       "CONNECT h:1 HTTP/1.0\r\nProxy-authorization: Basic dXNlcjo=\r\n\r\n"},
      {"tunnel with password only", {FirewallKind::kTunnel, "h", 1, "", "pw", ""},
       "CONNECT h:1 HTTP/1.0\r\nProxy-authorization: Basic OnB3\r\n\r\n"},
      {"tunnel to IPv6", {FirewallKind::kTunnel, "::1", 8080, "", "", ""}, "CONNECT [::1]:8080 HTTP/1.0\r\n\r\n"},
      {"socks4", {FirewallKind::kSocks4, "192.0.2.7", 0x1F90, "", "", ""}, Bytes({4, 1, 0x1F, 0x90, 192, 0, 2, 7, 0})},
      {"socks4 with user", {FirewallKind::kSocks4, "10.0.0.1", 80, "bob", "ignored", ""},
       Bytes({4, 1, 0, 80, 10, 0, 0, 1, 'b', 'o', 'b', 0})},
      {"socks4 by name", {FirewallKind::kSocks4, "localhost", 7, "", "", ""}, Bytes({4, 1, 0, 7, 127, 0, 0, 1, 0})},
      {"socks5", {FirewallKind::kSocks5, "h", 1, "", "", ""}, Bytes({5, 1, 0})},
      {"socks5 with user only", {FirewallKind::kSocks5, "h", 1, "user", "", ""}, Bytes({5, 1, 0})},
      {"socks5 with password only", {FirewallKind::kSocks5, "h", 1, "", "pw", ""}, Bytes({5, 1, 0})},
      {"socks5 with credentials", {FirewallKind::kSocks5, "h", 1, "user", "pw", ""}, Bytes({5, 2, 0, 2})},
      {"tunnel with extra header lines", {FirewallKind::kTunnel, "h", 1, "u", "p", "User-Agent: probe\r\n\nX-Trace:\t1\n"},
       "CONNECT h:1 HTTP/1.0\r\nProxy-authorization: Basic dTpw\r\nUser-Agent: probe\r\nX-Trace:\t1\r\n\r\n"},
      {"socks5 has no place for extra header lines", {FirewallKind::kSocks5, "h", 1, "", "", "X: 1"}, Bytes({5, 1, 0})},
  };
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.name);
    FirewallNegotiation negotiation(c.target);
    EXPECT_EQ(negotiation.Current(), Step::kNeedMore) << negotiation.ErrorText();
    EXPECT_EQ(negotiation.TakeOutput(), c.request);
    EXPECT_EQ(negotiation.TakeOutput(), "");  // taken once
  }
}

TEST(FirewallNegotiationTest, Socks5ConnectRequestNamesTheTargetByItsKind) {
  const std::vector<RequestCase> cases = {
      {"domain", {FirewallKind::kSocks5, "example.org", 443, "", "", ""},
       Bytes({5, 1, 0, 3, 11, 'e', 'x', 'a', 'm', 'p', 'l', 'e', '.', 'o', 'r', 'g', 1, 0xBB})},
      {"IPv4", {FirewallKind::kSocks5, "127.0.0.1", 80, "", "", ""}, Bytes({5, 1, 0, 1, 127, 0, 0, 1, 0, 80})},
      {"IPv6", {FirewallKind::kSocks5, "2001:db8::1", 80, "", "", ""},
       Bytes({5, 1, 0, 4, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 80})},
  };
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.name);
    FirewallNegotiation negotiation(c.target);
    (void)negotiation.TakeOutput();
    size_t taken = 0;
    EXPECT_EQ(negotiation.Feed(Bytes({5, 0}), &taken), Step::kNeedMore);
    EXPECT_EQ(taken, 2u);
    EXPECT_EQ(negotiation.TakeOutput(), c.request);
  }
}

TEST(FirewallNegotiationTest, Socks5UserPasswordExchange) {
  FirewallNegotiation negotiation({FirewallKind::kSocks5, "10.0.0.9", 22, "al", "pwd", ""});
  EXPECT_EQ(negotiation.TakeOutput(), Bytes({5, 2, 0, 2}));
  size_t taken = 0;
  EXPECT_EQ(negotiation.Feed(Bytes({5, 2}), &taken), Step::kNeedMore);
  EXPECT_EQ(negotiation.TakeOutput(), Bytes({1, 2, 'a', 'l', 3, 'p', 'w', 'd'}));
  EXPECT_EQ(negotiation.Feed(Bytes({1, 0}), &taken), Step::kNeedMore);
  EXPECT_EQ(negotiation.TakeOutput(), Bytes({5, 1, 0, 1, 10, 0, 0, 9, 0, 22}));
  EXPECT_EQ(negotiation.Feed(Bytes({5, 0, 0, 1, 10, 0, 0, 1, 0x12, 0x34}), &taken), Step::kDone);
  EXPECT_EQ(taken, 10u);
}

// ---------------------------------------------------------------------------------------------
// Replies that open the path, whole and byte by byte, with the target's first data behind them

struct SuccessCase {
  const char* name;
  FirewallTarget target;
  std::vector<std::string> replies;  // one answer per request; the last one opens the path
};

TEST(FirewallNegotiationTest, SuccessfulRepliesAreConsumedExactly) {
  const std::string data = "first bytes of the target\r\n\r\n";
  const std::vector<SuccessCase> cases = {
      {"tunnel", {FirewallKind::kTunnel, "h", 1, "", "", ""}, {"HTTP/1.0 200 Connection established\r\n\r\n"}},
      {"tunnel with headers", {FirewallKind::kTunnel, "h", 1, "u", "p", ""},
       {"HTTP/1.1 200 OK\r\nProxy-agent: test\r\nVia: 1.1 x\r\n\r\n"}},
      {"tunnel status without reason", {FirewallKind::kTunnel, "h", 1, "", "", ""}, {"HTTP/1.1 204\r\n\r\n"}},
      {"socks4", {FirewallKind::kSocks4, "127.0.0.1", 1, "", "", ""}, {Bytes({0, 90, 0, 1, 127, 0, 0, 1})}},
      {"socks4 answering version 4", {FirewallKind::kSocks4, "127.0.0.1", 1, "", "", ""}, {Bytes({4, 90, 0, 0, 0, 0, 0, 0})}},
      {"socks5 bound IPv4", {FirewallKind::kSocks5, "h", 1, "", "", ""},
       {Bytes({5, 0}), Bytes({5, 0, 0, 1, 1, 2, 3, 4, 0, 80})}},
      {"socks5 bound IPv6", {FirewallKind::kSocks5, "h", 1, "", "", ""},
       {Bytes({5, 0}), Bytes({5, 0, 0, 4, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 0, 80})}},
      {"socks5 bound name", {FirewallKind::kSocks5, "h", 1, "", "", ""},
       {Bytes({5, 0}), Bytes({5, 0, 0, 3, 4, 'p', 'r', 'o', 'x', 1, 0})}},
      {"socks5 bound empty name", {FirewallKind::kSocks5, "h", 1, "", "", ""}, {Bytes({5, 0}), Bytes({5, 0, 0, 3, 0, 1, 0})}},
      {"socks5 authenticated", {FirewallKind::kSocks5, "h", 1, "u", "p", ""},
       {Bytes({5, 2}), Bytes({1, 0}), Bytes({5, 0, 0, 1, 1, 2, 3, 4, 0, 80})}},
  };
  for (const SuccessCase& c : cases) {
    for (bool byteByByte : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (byteByByte ? ", byte by byte" : ", whole"));
      FirewallNegotiation negotiation(c.target);
      for (size_t i = 0; i < c.replies.size(); ++i) {
        EXPECT_FALSE(negotiation.TakeOutput().empty());
        const bool last = i + 1 == c.replies.size();
        const std::string received = last ? c.replies[i] + data : c.replies[i];
        const FeedResult result = FeedReply(negotiation, received, byteByByte);
        EXPECT_EQ(result.step, last ? Step::kDone : Step::kNeedMore);
        EXPECT_EQ(result.consumed, c.replies[i].size());
      }
      EXPECT_EQ(negotiation.TakeOutput(), "");
      // Once open, the path takes nothing more.
      size_t taken = 99;
      EXPECT_EQ(negotiation.Feed(data, &taken), Step::kDone);
      EXPECT_EQ(taken, 0u);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Refusals and broken answers

struct FailureCase {
  const char* name;
  FirewallTarget target;
  std::vector<std::string> replies;  // the last one ends the negotiation
  int32_t code;
  std::string text;
};

void ExpectFailures(const std::vector<FailureCase>& cases) {
  for (const FailureCase& c : cases) {
    for (bool byteByByte : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (byteByByte ? ", byte by byte" : ", whole"));
      FirewallNegotiation negotiation(c.target);
      Step step = negotiation.Current();
      for (const std::string& reply : c.replies) {
        (void)negotiation.TakeOutput();
        step = FeedReply(negotiation, reply, byteByByte).step;
      }
      EXPECT_EQ(step, Step::kFailed);
      EXPECT_EQ(negotiation.Current(), Step::kFailed);
      EXPECT_EQ(negotiation.ErrorCode(), c.code);
      EXPECT_EQ(negotiation.ErrorText(), c.text);
      EXPECT_EQ(negotiation.TakeOutput(), "");
    }
  }
}

const FirewallTarget kSocks5{FirewallKind::kSocks5, "h", 1, "", "", ""};
const FirewallTarget kSocks5Auth{FirewallKind::kSocks5, "h", 1, "u", "p", ""};
const FirewallTarget kSocks4{FirewallKind::kSocks4, "127.0.0.1", 1, "", "", ""};
const FirewallTarget kTunnel{FirewallKind::kTunnel, "h", 1, "", "", ""};

TEST(FirewallNegotiationTest, Socks5ReplyCodesHaveTheirTextsAndCodes) {
  std::vector<FailureCase> cases = {
      {"1", kSocks5, {Bytes({5, 0}), Bytes({5, 1, 0, 1})}, kFirewallNegotiationFailed, "general SOCKS server failure"},
      {"2", kSocks5, {Bytes({5, 0}), Bytes({5, 2, 0, 1})}, 10013, "connection not allowed by ruleset"},
      {"3", kSocks5, {Bytes({5, 0}), Bytes({5, 3, 0, 1})}, 10051, "network unreachable"},
      {"4", kSocks5, {Bytes({5, 0}), Bytes({5, 4, 0, 1})}, 10065, "host unreachable"},
      {"5", kSocks5, {Bytes({5, 0}), Bytes({5, 5, 0, 1})}, 10061, "connection refused"},
      {"6", kSocks5, {Bytes({5, 0}), Bytes({5, 6, 0, 1})}, 10060, "TTL expired"},
      {"7", kSocks5, {Bytes({5, 0}), Bytes({5, 7, 0, 1})}, 10045, "command not supported"},
      {"8", kSocks5, {Bytes({5, 0}), Bytes({5, 8, 0, 1})}, 10047, "address type not supported"},
      {"9", kSocks5, {Bytes({5, 0}), Bytes({5, 9, 0, 1})}, kFirewallNegotiationFailed, "unknown firewall error: 9"},
      {"255", kSocks5, {Bytes({5, 0}), Bytes({5, 255, 0, 7})}, kFirewallNegotiationFailed, "unknown firewall error: 255"},
      {"no acceptable method", kSocks5, {Bytes({5, 0xFF})}, 10013, "no acceptable firewall authentication methods"},
      {"GSSAPI chosen", kSocks5Auth, {Bytes({5, 1})}, kFirewallNegotiationFailed, "unknown firewall authentication method"},
      {"password chosen but not offered", kSocks5, {Bytes({5, 2})}, kFirewallNegotiationFailed,
       "unknown firewall authentication method"},
      {"bad credentials", kSocks5Auth, {Bytes({5, 2}), Bytes({1, 1})}, 10013, "firewall authentication failed: 1"},
      {"bad credentials, other status", kSocks5Auth, {Bytes({5, 2}), Bytes({1, 0x80})}, 10013,
       "firewall authentication failed: 128"},
  };
  ExpectFailures(cases);
}

TEST(FirewallNegotiationTest, Socks4ReplyCodesHaveTheirTextsAndCodes) {
  ExpectFailures({
      {"91", kSocks4, {Bytes({0, 91, 0, 0, 0, 0, 0, 0})}, 10061, "firewall request rejected or failed"},
      {"92", kSocks4, {Bytes({0, 92, 0, 0, 0, 0, 0, 0})}, 10013,
       "firewall request rejected because identd is not available"},
      {"93", kSocks4, {Bytes({0, 93, 0, 0, 0, 0, 0, 0})}, 10013,
       "firewall request rejected because identd reports different user"},
      {"94", kSocks4, {Bytes({0, 94, 0, 0, 0, 0, 0, 0})}, kFirewallNegotiationFailed, "unknown firewall error: 94"},
      {"0", kSocks4, {Bytes({0, 0, 0, 0, 0, 0, 0, 0})}, kFirewallNegotiationFailed, "unknown firewall error: 0"},
  });
}

TEST(FirewallNegotiationTest, HttpAnswersOtherThanSuccessAreRejections) {
  ExpectFailures({
      {"407", kTunnel, {"HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n"}, 10013,
       "firewall request rejected or failed"},
      {"403", kTunnel, {"HTTP/1.1 403 Forbidden\r\n\r\n"}, 10013, "firewall request rejected or failed"},
      {"401", kTunnel, {"HTTP/1.0 401 Unauthorized\r\n\r\n"}, 10013, "firewall request rejected or failed"},
      {"500", kTunnel, {"HTTP/1.0 500 Unable to connect\r\n\r\n"}, kFirewallNegotiationFailed,
       "firewall request rejected or failed"},
      {"301", kTunnel, {"HTTP/1.1 301 Moved\r\nLocation: x\r\n\r\n"}, kFirewallNegotiationFailed,
       "firewall request rejected or failed"},
      {"100", kTunnel, {"HTTP/1.1 100 Continue\r\n\r\n"}, kFirewallNegotiationFailed, "firewall request rejected or failed"},
  });
  FirewallNegotiation negotiation(kTunnel);
  size_t taken = 0;
  EXPECT_EQ(negotiation.Feed("HTTP/1.1 502 Bad Gateway\r\n\r\n", &taken), Step::kFailed);
  EXPECT_EQ(negotiation.HttpStatus(), 502);
}

TEST(FirewallNegotiationTest, MalformedAnswersFailCleanly) {
  ExpectFailures({
      {"no status line", kTunnel, {"SSH-2.0-OpenSSH\r\n\r\n"}, kFirewallNegotiationFailed,
       "firewall answer malformed: no HTTP status line"},
      {"status not a number", kTunnel, {"HTTP/1.1 2x0 OK\r\n\r\n"}, kFirewallNegotiationFailed,
       "firewall answer malformed: no HTTP status line"},
      {"status too long", kTunnel, {"HTTP/1.1 2000 OK\r\n\r\n"}, kFirewallNegotiationFailed,
       "firewall answer malformed: no HTTP status line"},
      {"socks4 reply version", kSocks4, {Bytes({5, 90, 0, 0, 0, 0, 0, 0})}, kFirewallNegotiationFailed,
       "firewall answer malformed: SOCKS4 reply version 5"},
      {"socks5 method version", kSocks5, {Bytes({4, 0})}, kFirewallNegotiationFailed,
       "firewall answer malformed: SOCKS5 reply version 4"},
      {"socks5 auth version", kSocks5Auth, {Bytes({5, 2}), Bytes({5, 0})}, kFirewallNegotiationFailed,
       "firewall answer malformed: authentication reply version 5"},
      {"socks5 reply version", kSocks5, {Bytes({5, 0}), Bytes({0, 90, 0, 1})}, kFirewallNegotiationFailed,
       "firewall answer malformed: SOCKS5 reply version 0"},
      {"socks5 bound address type", kSocks5, {Bytes({5, 0}), Bytes({5, 0, 0, 9})}, kFirewallNegotiationFailed,
       "firewall answer malformed: bound address type 9"},
  });
}

TEST(FirewallNegotiationTest, HttpAnswerWithoutEndWithinTheLimitFails) {
  for (size_t chunk : {size_t{1}, size_t{1000}, kMaxHttpAnswer + 100}) {
    SCOPED_TRACE(chunk);
    FirewallNegotiation negotiation(kTunnel);
    const std::string flood = "HTTP/1.0 200 OK\r\nX: " + std::string(kMaxHttpAnswer + 100, 'a');
    size_t total = 0;
    Step step = Step::kNeedMore;
    for (size_t at = 0; at < flood.size() && step == Step::kNeedMore; at += chunk) {
      size_t taken = 0;
      step = negotiation.Feed(std::string_view(flood).substr(at, chunk), &taken);
      total += taken;
    }
    EXPECT_EQ(step, Step::kFailed);
    EXPECT_LE(total, kMaxHttpAnswer);
    EXPECT_EQ(negotiation.ErrorText(), "firewall answer malformed: the HTTP answer's header is longer than 16384 bytes");
  }
  // The end of the header split between two reads is still found.
  FirewallNegotiation negotiation(kTunnel);
  size_t taken = 0;
  EXPECT_EQ(negotiation.Feed("HTTP/1.0 200 OK\r\n\r", &taken), Step::kNeedMore);
  EXPECT_EQ(negotiation.Feed("\ndata", &taken), Step::kDone);
  EXPECT_EQ(taken, 1u);
}

TEST(FirewallNegotiationTest, TargetsNoRequestCanCarryFailAtOnce) {
  const std::string longName(256, 'a');
  const std::string longText(256, 'u');
  const std::vector<FailureCase> cases = {
      {"socks5 long host", {FirewallKind::kSocks5, longName, 1, "", "", ""}, {}, kFirewallNegotiationFailed,
       "firewall request impossible: the host name is longer than 255 bytes"},
      {"socks5 long user", {FirewallKind::kSocks5, "h", 1, longText, "p", ""}, {}, kFirewallNegotiationFailed,
       "firewall request impossible: the firewall user or password is longer than 255 bytes"},
      {"socks5 long password", {FirewallKind::kSocks5, "h", 1, "u", longText, ""}, {}, kFirewallNegotiationFailed,
       "firewall request impossible: the firewall user or password is longer than 255 bytes"},
      {"tunnel header injection", {FirewallKind::kTunnel, "h:1 HTTP/1.0\r\nX-Evil: 1\r\n\r\nGET", 1, "", "", ""}, {},
       kFirewallNegotiationFailed, "firewall request impossible: the host name is empty or holds blanks or control characters"},
      {"empty host", {FirewallKind::kSocks5, "", 1, "", "", ""}, {}, kFirewallNegotiationFailed,
       "firewall request impossible: the host name is empty or holds blanks or control characters"},
      {"socks4 user with zero byte", {FirewallKind::kSocks4, "127.0.0.1", 1, std::string("a\0b", 3), "", ""}, {},
       kFirewallNegotiationFailed, "firewall request impossible: the firewall user holds a zero byte"},
      {"unknown kind", {static_cast<FirewallKind>(7), "h", 1, "", "", ""}, {}, kFirewallNegotiationFailed,
       "firewall request impossible: unknown firewall type"},
      {"extra data that would end the request", {FirewallKind::kTunnel, "h", 1, "", "", "\r\n\r\nGET / HTTP/1.0"}, {},
       kFirewallNegotiationFailed, "firewall request impossible: the firewall data is not a list of header lines"},
      {"extra header with a control character", {FirewallKind::kTunnel, "h", 1, "", "", "X: a\rb"}, {},
       kFirewallNegotiationFailed, "firewall request impossible: the firewall data is not a list of header lines"},
      {"extra header without a name", {FirewallKind::kTunnel, "h", 1, "", "", ": value"}, {},
       kFirewallNegotiationFailed, "firewall request impossible: the firewall data is not a list of header lines"},
  };
  ExpectFailures(cases);
  // A 255-byte name is still fine.
  FirewallNegotiation negotiation({FirewallKind::kSocks5, std::string(255, 'a'), 1, "", "", ""});
  EXPECT_EQ(negotiation.Current(), Step::kNeedMore);
}

TEST(FirewallNegotiationTest, Socks4TargetThatDoesNotResolveFailsWithTheResolverCode) {
  FirewallNegotiation negotiation({FirewallKind::kSocks4, "no-such-host.vorlane.invalid", 80, "", "", ""});
  EXPECT_EQ(negotiation.Current(), Step::kFailed);
  EXPECT_EQ(negotiation.TakeOutput(), "");
  // NXDOMAIN, or a lookup that could not be answered where no resolver is reachable.
  const int32_t code = negotiation.ErrorCode();
  EXPECT_TRUE(code >= 11001 && code <= 11004) << code;
  if (code == 11001) {
    EXPECT_EQ(negotiation.ErrorText(), "[11001] Host not found");
  } else {
    EXPECT_EQ(negotiation.ErrorText().substr(0, 8), "[" + std::to_string(code) + "]");
  }
}

// ---------------------------------------------------------------------------------------------
// Against real proxies on loopback

// The negotiation driven over a blocking socket, as the control drives it from its events.
struct Tunnel {
  Step step = Step::kFailed;
  int32_t code = 0;
  std::string text;
  UniqueFd fd;
  std::string early;  // target bytes that came with the last answer
};

Tunnel Negotiate(uint16_t proxyPort, const FirewallTarget& target) {
  Tunnel tunnel;
  tunnel.fd = ConnectLoopback(proxyPort);
  if (!tunnel.fd) {
    tunnel.text = "cannot connect to the proxy";
    return tunnel;
  }
  FirewallNegotiation negotiation(target);
  // A negotiation has at most three answers; each read brings at least one byte of one.
  for (int round = 0; round < 64 && negotiation.Current() == Step::kNeedMore; ++round) {
    if (!SendAll(tunnel.fd.get(), negotiation.TakeOutput())) break;
    char buffer[2048];
    const ssize_t n = ::recv(tunnel.fd.get(), buffer, sizeof buffer, 0);
    if (n <= 0) break;
    size_t taken = 0;
    negotiation.Feed(std::string_view(buffer, static_cast<size_t>(n)), &taken);
    tunnel.early.assign(buffer + taken, static_cast<size_t>(n) - taken);
  }
  tunnel.step = negotiation.Current();
  tunnel.code = negotiation.ErrorCode();
  tunnel.text = tunnel.step == Step::kNeedMore ? "the proxy went quiet or closed" : negotiation.ErrorText();
  return tunnel;
}

// Sends a line through an open tunnel and reads back what the echo server returns.
std::string EchoThrough(Tunnel& tunnel, const std::string& line) {
  if (!SendAll(tunnel.fd.get(), line)) return "(send failed)";
  std::string back = tunnel.early;
  for (int round = 0; round < 64 && back.size() < line.size(); ++round) {
    char buffer[1024];
    const ssize_t n = ::recv(tunnel.fd.get(), buffer, sizeof buffer, 0);
    if (n <= 0) break;
    back.append(buffer, static_cast<size_t>(n));
  }
  return back;
}

struct ProxyCase {
  const char* name;
  FirewallTarget target;  // port 0 stands for the echo server's, 1 for a closed port
  int32_t code;           // 0: the path opens
  std::string text;
};

class RealProxyTest : public ::testing::Test {
 protected:
  void RunCases(uint16_t proxyPort, std::vector<ProxyCase> cases) {
    for (ProxyCase& c : cases) {
      SCOPED_TRACE(c.name);
      c.target.port = c.target.port == 0 ? echo_.Port() : closedPort_;
      Tunnel tunnel = Negotiate(proxyPort, c.target);
      if (c.code == 0) {
        ASSERT_EQ(tunnel.step, Step::kDone) << tunnel.text;
        const std::string line = std::string("through the ") + c.name + "\n";
        EXPECT_EQ(EchoThrough(tunnel, line), line);
      } else {
        EXPECT_EQ(tunnel.step, Step::kFailed);
        EXPECT_EQ(tunnel.code, c.code);
        EXPECT_EQ(tunnel.text, c.text);
      }
    }
  }

  testkit::TempDir dir_{"vorlane-firewall"};
  EchoServer echo_;
  uint16_t closedPort_ = static_cast<uint16_t>(testkit::FreePort());
};

TEST_F(RealProxyTest, DanteSocks4AndSocks5) {
  if (::access(kDanted, X_OK) != 0) GTEST_SKIP() << kDanted << " is not installed (Debian package dante-server)";
  const auto port = static_cast<uint16_t>(testkit::FreePort());
  std::unique_ptr<ProxyProcess> danted = StartDanted(dir_, port);
  ASSERT_TRUE(danted->WaitReady(port)) << danted->Log();

  RunCases(port, {
      {"SOCKS4 to an address", {FirewallKind::kSocks4, "127.0.0.1", 0, "", "", ""}, 0, ""},
      {"SOCKS4 to a name", {FirewallKind::kSocks4, "localhost", 0, "anyone", "", ""}, 0, ""},
      {"SOCKS5 to an address", {FirewallKind::kSocks5, "127.0.0.1", 0, "", "", ""}, 0, ""},
      {"SOCKS5 to a name", {FirewallKind::kSocks5, "localhost", 0, "", "", ""}, 0, ""},
      {"SOCKS5 with user and password", {FirewallKind::kSocks5, "127.0.0.1", 0, kProxyUser, kProxyPassword, ""}, 0, ""},
      {"SOCKS5 with a wrong password", {FirewallKind::kSocks5, "127.0.0.1", 0, kProxyUser, "wrong", ""}, 10013,
       "firewall authentication failed: 1"},
      {"SOCKS5 to a closed port", {FirewallKind::kSocks5, "127.0.0.1", 1, "", "", ""}, 10061, "connection refused"},
      {"SOCKS4 to a closed port", {FirewallKind::kSocks4, "127.0.0.1", 1, "", "", ""}, 10061,
       "firewall request rejected or failed"},
  });
}

TEST_F(RealProxyTest, TinyproxyHttpConnect) {
  if (::access(kTinyproxy, X_OK) != 0) GTEST_SKIP() << kTinyproxy << " is not installed (Debian package tinyproxy)";
  struct Setup {
    const char* name;
    bool basicAuth;
    std::vector<ProxyCase> cases;
  };
  const std::vector<Setup> setups = {
      {"open",
       false,
       {
           {"tunnel", {FirewallKind::kTunnel, "127.0.0.1", 0, "", "", ""}, 0, ""},
           {"tunnel to a name", {FirewallKind::kTunnel, "localhost", 0, "", "", ""}, 0, ""},
           {"tunnel to a closed port", {FirewallKind::kTunnel, "127.0.0.1", 1, "", "", ""}, kFirewallNegotiationFailed,
            "firewall request rejected or failed"},
       }},
      {"with BasicAuth",
       true,
       {
           {"tunnel with credentials", {FirewallKind::kTunnel, "127.0.0.1", 0, kProxyUser, kProxyPassword, ""}, 0, ""},
           {"tunnel with a wrong password", {FirewallKind::kTunnel, "127.0.0.1", 0, kProxyUser, "wrong", ""}, 10013,
            "firewall request rejected or failed"},
           {"tunnel without credentials", {FirewallKind::kTunnel, "127.0.0.1", 0, "", "", ""}, 10013,
            "firewall request rejected or failed"},
       }},
  };
  for (const Setup& setup : setups) {
    SCOPED_TRACE(setup.name);
    const auto port = static_cast<uint16_t>(testkit::FreePort());
    std::unique_ptr<ProxyProcess> tinyproxy =
        StartTinyproxy(dir_, port, setup.basicAuth, {echo_.Port(), closedPort_});
    ASSERT_TRUE(tinyproxy->WaitReady(port)) << tinyproxy->Log();
    RunCases(port, setup.cases);
  }
}

}  // namespace
}  // namespace vorlane::tcpclient
