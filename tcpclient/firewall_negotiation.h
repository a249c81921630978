// The exchange that opens a path through a firewall or proxy once the TCP connection to it is up:
// an HTTP CONNECT tunnel, SOCKS4 or SOCKS5. A pure state machine without sockets: the control
// writes what TakeOutput() hands it and feeds what it reads, from its own socket notifications.
//
// Failures carry a code and a text. The texts are the control's firewall failure texts; the codes
// are Winsock codes where one says the same thing, else kFirewallNegotiationFailed (10053, "software
// caused connection abort": the control gives the connection up because the firewall did not open
// the path):
//   SOCKS5 reply 2 "connection not allowed by ruleset"     10013 (access denied)
//   SOCKS5 reply 3 "network unreachable"                   10051
//   SOCKS5 reply 4 "host unreachable"                      10065
//   SOCKS5 reply 5 "connection refused"                    10061
//   SOCKS5 reply 6 "TTL expired"                           10060
//   SOCKS5 reply 7 "command not supported"                 10045
//   SOCKS5 reply 8 "address type not supported"            10047
//   SOCKS5 "no acceptable firewall authentication methods" 10013
//   SOCKS5 "firewall authentication failed: %d" (status)   10013
//   SOCKS4 reply 91 "firewall request rejected or failed"  10061 (what SOCKS4 servers answer for
//                                                          a target that refuses or cannot be reached)
//   SOCKS4 replies 92, 93 (identd)                         10013
//   HTTP 407, 401 or 403 "firewall request rejected or failed" 10013; the status is in HttpStatus()
//   other HTTP status, "firewall request rejected or failed" kFirewallNegotiationFailed
//   SOCKS5 reply 1, other replies, unknown method, malformed or oversize answers, targets that
//   cannot be put into a request                           kFirewallNegotiationFailed
//   SOCKS4 target name that does not resolve               the resolver's code 11001..11004 with
//                                                          its text from the socket error table
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorlane::tcpclient {

// The control's fwTunnel, fwSOCKS4 and fwSOCKS5.
enum class FirewallKind { kTunnel = 1, kSocks4 = 2, kSocks5 = 3 };

// What the firewall is asked to connect to, and the credentials it is offered.
struct FirewallTarget {
  FirewallKind kind = FirewallKind::kTunnel;
  std::string host;  // the control's RemoteHost as text
  uint16_t port = 0;
  std::string user;
  std::string password;
  // The control's "FirewallData": header lines ("Name: value", separated by CR LF or LF) added
  // to an HTTP CONNECT request, e.g. a User-Agent a proxy insists on. SOCKS has no place for it.
  std::string extraHeaders;
};

// The code of a firewall failure that no more particular Winsock code describes.
inline constexpr int32_t kFirewallNegotiationFailed = 10053;

// An HTTP answer must end its header within this many bytes.
inline constexpr size_t kMaxHttpAnswer = 16 * 1024;

class FirewallNegotiation {
 public:
  enum class Step { kNeedMore, kDone, kFailed };

  // Builds the first request. A SOCKS4 target given by name is resolved here to an IPv4 address
  // (blocking, as the control's own host resolution is). A target that cannot be expressed in the
  // chosen protocol fails at once: Current() is then kFailed and there is nothing to write.
  explicit FirewallNegotiation(FirewallTarget target);

  // The bytes to write to the firewall now; empty when the negotiation waits for an answer.
  std::string TakeOutput();

  // Takes bytes read from the firewall. Only bytes that belong to the negotiation are taken, and
  // *consumed says how many: what follows the end of the negotiation is the target's first data.
  // Once the negotiation has ended, nothing more is taken.
  Step Feed(std::string_view received, size_t* consumed);

  Step Current() const { return step_; }
  // When kFailed: the failure's code and text (see the table above).
  int32_t ErrorCode() const { return errorCode_; }
  const std::string& ErrorText() const { return errorText_; }
  // The status of the proxy's HTTP answer once one was read, else 0.
  int HttpStatus() const { return httpStatus_; }

 private:
  enum class Phase { kHttpAnswer, kSocks4Reply, kSocks5Method, kSocks5Auth, kSocks5Reply, kEnded };

  void StartTunnel();
  void StartSocks4();
  void StartSocks5();
  void SendSocks5Connect();
  // How many bytes the answer of the current phase has in all, as far as answer_ tells;
  // 0 while the header that says it has not arrived.
  size_t SocksAnswerLength() const;
  size_t TakeHttp(std::string_view received);
  void FinishPhase();
  void FinishHttp();
  void FinishSocks4();
  void FinishSocks5Method();
  void FinishSocks5Auth();
  void FinishSocks5Reply();
  void Succeed();
  void Fail(int32_t code, std::string text);

  FirewallTarget target_;
  Phase phase_ = Phase::kEnded;
  Step step_ = Step::kNeedMore;
  std::string output_;
  std::string answer_;  // the part of the current answer read so far
  int32_t errorCode_ = 0;
  std::string errorText_;
  int httpStatus_ = 0;
};

}  // namespace vorlane::tcpclient
