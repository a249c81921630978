#include "tcpclient/firewall_negotiation.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "cipher/base64.h"
#include "platform/net/resolve.h"
#include "tcpclient/socket_errors.h"

namespace vorlane::tcpclient {
namespace {

// Failure texts, as the control reports them.
constexpr std::string_view kNoAcceptableMethods = "no acceptable firewall authentication methods";
constexpr std::string_view kUnknownMethod = "unknown firewall authentication method";
constexpr std::string_view kAuthenticationFailed = "firewall authentication failed: ";
constexpr std::string_view kRequestRejected = "firewall request rejected or failed";
constexpr std::string_view kIdentdUnavailable = "firewall request rejected because identd is not available";
constexpr std::string_view kIdentdDifferentUser = "firewall request rejected because identd reports different user";
constexpr std::string_view kUnknownError = "unknown firewall error: ";
// Texts of our own for answers that break the protocol and targets no request can carry.
constexpr std::string_view kMalformed = "firewall answer malformed: ";
constexpr std::string_view kBadTarget = "firewall request impossible: ";

constexpr int32_t kAccessDenied = 10013;
constexpr int32_t kOperationNotSupported = 10045;
constexpr int32_t kAddressFamilyNotSupported = 10047;
constexpr int32_t kNetworkUnreachable = 10051;
constexpr int32_t kTimedOut = 10060;
constexpr int32_t kConnectionRefused = 10061;
constexpr int32_t kHostUnreachable = 10065;

// SOCKS5 reply codes 1..8 of RFC 1928.
struct Socks5Failure {
  std::string_view text;
  int32_t code;
};
constexpr std::array<Socks5Failure, 8> kSocks5Failures{{
    {"general SOCKS server failure", kFirewallNegotiationFailed},
    {"connection not allowed by ruleset", kAccessDenied},
    {"network unreachable", kNetworkUnreachable},
    {"host unreachable", kHostUnreachable},
    {"connection refused", kConnectionRefused},
    {"TTL expired", kTimedOut},
    {"command not supported", kOperationNotSupported},
    {"address type not supported", kAddressFamilyNotSupported},
}};

constexpr uint8_t kSocks4Version = 4;
constexpr uint8_t kSocks5Version = 5;
constexpr uint8_t kCommandConnect = 1;
constexpr uint8_t kMethodNone = 0;
constexpr uint8_t kMethodUserPassword = 2;
constexpr uint8_t kMethodNoneAcceptable = 0xFF;
constexpr uint8_t kUserPasswordVersion = 1;
constexpr uint8_t kAddressIPv4 = 1;
constexpr uint8_t kAddressDomain = 3;
constexpr uint8_t kAddressIPv6 = 4;
constexpr size_t kMaxSocksField = 255;

void AppendByte(std::string& out, unsigned value) { out.push_back(static_cast<char>(value & 0xFF)); }
void AppendPort(std::string& out, uint16_t port) {
  AppendByte(out, port >> 8);
  AppendByte(out, port);
}
uint8_t ByteAt(std::string_view text, size_t at) { return static_cast<uint8_t>(text[at]); }

// A host text goes into a request line or a length-prefixed field as it is, so it must hold
// nothing that could end the field or start another.
bool IsPlainHostText(std::string_view host) {
  return !host.empty() && std::none_of(host.begin(), host.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte == 0x7F;
  });
}

// The header lines of `text` (CR LF or LF between them, empty lines skipped), each as
// "Name: value" with a name of visible characters and a value without control characters (tabs
// aside); nothing when a line is no header line, so that no text can end the request early or
// smuggle another one in.
std::optional<std::vector<std::string>> HeaderLines(std::string_view text) {
  std::vector<std::string> lines;
  for (size_t start = 0, round = 0; start < text.size() && round <= text.size(); ++round) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    const size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos) return std::nullopt;
    const std::string_view name = line.substr(0, colon);
    const bool nameOk = std::all_of(name.begin(), name.end(), [](char c) {
      const auto byte = static_cast<unsigned char>(c);
      return byte > 0x20 && byte < 0x7F;
    });
    const std::string_view value = line.substr(colon + 1);
    const bool valueOk = std::none_of(value.begin(), value.end(), [](char c) {
      const auto byte = static_cast<unsigned char>(c);
      return (byte < 0x20 && byte != '\t') || byte == 0x7F;
    });
    if (!nameOk || !valueOk) return std::nullopt;
    lines.emplace_back(line);
  }
  return lines;
}

}  // namespace

FirewallNegotiation::FirewallNegotiation(FirewallTarget target) : target_(std::move(target)) {
  if (!IsPlainHostText(target_.host)) {
    Fail(kFirewallNegotiationFailed, std::string(kBadTarget) + "the host name is empty or holds blanks or control characters");
    return;
  }
  switch (target_.kind) {
    case FirewallKind::kTunnel:
      StartTunnel();
      break;
    case FirewallKind::kSocks4:
      StartSocks4();
      break;
    case FirewallKind::kSocks5:
      StartSocks5();
      break;
    default:
      Fail(kFirewallNegotiationFailed, std::string(kBadTarget) + "unknown firewall type");
      break;
  }
}

std::string FirewallNegotiation::TakeOutput() { return std::exchange(output_, std::string()); }

void FirewallNegotiation::StartTunnel() {
  // An IPv6 literal needs brackets to keep its colons apart from the port's.
  in6_addr v6{};
  const bool ipv6 = ::inet_pton(AF_INET6, target_.host.c_str(), &v6) == 1;
  std::string authority = ipv6 ? "[" + target_.host + "]" : target_.host;
  authority += ":" + std::to_string(target_.port);
  output_ = "CONNECT " + authority + " HTTP/1.0\r\n";
  if (!target_.user.empty() || !target_.password.empty()) {
    const std::string credentials = target_.user + ":" + target_.password;
    output_ += "Proxy-authorization: Basic " +
               cipher::Base64EncodeToString(std::span(reinterpret_cast<const uint8_t*>(credentials.data()), credentials.size())) +
               "\r\n";
  }
  const std::optional<std::vector<std::string>> extra = HeaderLines(target_.extraHeaders);
  if (!extra) {
    Fail(kFirewallNegotiationFailed, std::string(kBadTarget) + "the firewall data is not a list of header lines");
    return;
  }
  for (const std::string& line : *extra) output_ += line + "\r\n";
  output_ += "\r\n";
  phase_ = Phase::kHttpAnswer;
}

void FirewallNegotiation::StartSocks4() {
  if (target_.user.find('\0') != std::string::npos) {
    Fail(kFirewallNegotiationFailed, std::string(kBadTarget) + "the firewall user holds a zero byte");
    return;
  }
  auto found = net::Resolve(target_.host, {.family = AF_INET});
  if (!found) {
    Fail(found.error().code, net::SocketErrorText(found.error().code));
    return;
  }
  const in_addr address = reinterpret_cast<const sockaddr_in&>(found.value().front().storage).sin_addr;
  AppendByte(output_, kSocks4Version);
  AppendByte(output_, kCommandConnect);
  AppendPort(output_, target_.port);
  output_.append(reinterpret_cast<const char*>(&address.s_addr), 4);  // already in network order
  output_ += target_.user;
  AppendByte(output_, 0);
  phase_ = Phase::kSocks4Reply;
}

void FirewallNegotiation::StartSocks5() {
  if (target_.user.size() > kMaxSocksField || target_.password.size() > kMaxSocksField) {
    Fail(kFirewallNegotiationFailed, std::string(kBadTarget) + "the firewall user or password is longer than 255 bytes");
    return;
  }
  if (target_.host.size() > kMaxSocksField) {
    Fail(kFirewallNegotiationFailed, std::string(kBadTarget) + "the host name is longer than 255 bytes");
    return;
  }
  AppendByte(output_, kSocks5Version);
  if (!target_.user.empty() && !target_.password.empty()) {
    AppendByte(output_, 2);
    AppendByte(output_, kMethodNone);
    AppendByte(output_, kMethodUserPassword);
  } else {
    AppendByte(output_, 1);
    AppendByte(output_, kMethodNone);
  }
  phase_ = Phase::kSocks5Method;
}

void FirewallNegotiation::SendSocks5Connect() {
  AppendByte(output_, kSocks5Version);
  AppendByte(output_, kCommandConnect);
  AppendByte(output_, 0);
  in_addr v4{};
  in6_addr v6{};
  if (::inet_pton(AF_INET, target_.host.c_str(), &v4) == 1) {
    AppendByte(output_, kAddressIPv4);
    output_.append(reinterpret_cast<const char*>(&v4.s_addr), 4);
  } else if (::inet_pton(AF_INET6, target_.host.c_str(), &v6) == 1) {
    AppendByte(output_, kAddressIPv6);
    output_.append(reinterpret_cast<const char*>(v6.s6_addr), 16);
  } else {
    AppendByte(output_, kAddressDomain);
    AppendByte(output_, target_.host.size());
    output_ += target_.host;
  }
  AppendPort(output_, target_.port);
  phase_ = Phase::kSocks5Reply;
}

FirewallNegotiation::Step FirewallNegotiation::Feed(std::string_view received, size_t* consumed) {
  size_t taken = 0;
  // Each round ends a phase, completes a header or takes all that is left, so a negotiation of at
  // most three answers needs far fewer rounds than the bound.
  for (int round = 0; round < 16 && step_ == Step::kNeedMore && taken < received.size(); ++round) {
    const std::string_view rest = received.substr(taken);
    if (phase_ == Phase::kHttpAnswer) {
      taken += TakeHttp(rest);
      continue;
    }
    // Until the header that tells the whole length is in, take only the header; never more
    // than the answer holds.
    const size_t total = SocksAnswerLength();
    const size_t header = answer_.size() < 4 ? 4 : 5;
    const size_t wanted = (total != 0 ? total : header) - answer_.size();
    const size_t chunk = std::min(wanted, rest.size());
    answer_.append(rest.substr(0, chunk));
    taken += chunk;
    if (SocksAnswerLength() != 0 && answer_.size() >= SocksAnswerLength()) FinishPhase();
  }
  if (consumed != nullptr) *consumed = taken;
  return step_;
}

size_t FirewallNegotiation::SocksAnswerLength() const {
  switch (phase_) {
    case Phase::kSocks4Reply:
      return 8;
    case Phase::kSocks5Method:
    case Phase::kSocks5Auth:
      return 2;
    case Phase::kSocks5Reply: {
      // VER REP RSV ATYP, the bound address, the bound port. A refusal or a broken header ends
      // the answer at its fourth byte: nothing after it is looked at.
      if (answer_.size() < 4) return 0;
      if (ByteAt(answer_, 0) != kSocks5Version || ByteAt(answer_, 1) != 0) return 4;
      switch (ByteAt(answer_, 3)) {
        case kAddressIPv4:
          return 4 + 4 + 2;
        case kAddressIPv6:
          return 4 + 16 + 2;
        case kAddressDomain:
          return answer_.size() < 5 ? 0 : 4 + 1 + ByteAt(answer_, 4) + 2;
        default:
          return 4;
      }
    }
    default:
      return 0;
  }
}

size_t FirewallNegotiation::TakeHttp(std::string_view received) {
  static constexpr std::string_view kEnd = "\r\n\r\n";
  // The end may straddle two reads: search from where it could begin.
  const size_t before = answer_.size();
  const size_t room = kMaxHttpAnswer - before;
  answer_.append(received.substr(0, std::min(room, received.size())));
  const size_t from = before >= kEnd.size() - 1 ? before - (kEnd.size() - 1) : 0;
  const size_t end = answer_.find(kEnd, from);
  if (end != std::string::npos) {
    answer_.resize(end + kEnd.size());
    const size_t taken = answer_.size() - before;
    FinishHttp();
    return taken;
  }
  const size_t taken = answer_.size() - before;
  if (answer_.size() >= kMaxHttpAnswer) {
    Fail(kFirewallNegotiationFailed, std::string(kMalformed) + "the HTTP answer's header is longer than " +
                                         std::to_string(kMaxHttpAnswer) + " bytes");
  }
  return taken;
}

void FirewallNegotiation::FinishPhase() {
  switch (phase_) {
    case Phase::kSocks4Reply:
      FinishSocks4();
      break;
    case Phase::kSocks5Method:
      FinishSocks5Method();
      break;
    case Phase::kSocks5Auth:
      FinishSocks5Auth();
      break;
    case Phase::kSocks5Reply:
      FinishSocks5Reply();
      break;
    default:
      break;
  }
}

void FirewallNegotiation::FinishHttp() {
  // "HTTP/" digit "." digit SP three digits, as the status line of RFC 9112 has it.
  const std::string_view line = std::string_view(answer_).substr(0, answer_.find("\r\n"));
  const bool wellFormed = line.size() >= 12 && line.starts_with("HTTP/") && std::isdigit(ByteAt(line, 5)) &&
                          line[6] == '.' && std::isdigit(ByteAt(line, 7)) && line[8] == ' ' &&
                          std::isdigit(ByteAt(line, 9)) && std::isdigit(ByteAt(line, 10)) &&
                          std::isdigit(ByteAt(line, 11)) && (line.size() == 12 || line[12] == ' ');
  if (!wellFormed) {
    Fail(kFirewallNegotiationFailed, std::string(kMalformed) + "no HTTP status line");
    return;
  }
  httpStatus_ = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
  if (httpStatus_ >= 200 && httpStatus_ < 300) {
    Succeed();
  } else {
    // Proxies answer refused credentials with 407, some with 401; 403 is a refusal by rule.
    const bool refused = httpStatus_ == 407 || httpStatus_ == 401 || httpStatus_ == 403;
    Fail(refused ? kAccessDenied : kFirewallNegotiationFailed, std::string(kRequestRejected));
  }
}

void FirewallNegotiation::FinishSocks4() {
  // The reply's version byte is 0; some servers answer with their request version 4 instead.
  const uint8_t version = ByteAt(answer_, 0);
  if (version != 0 && version != kSocks4Version) {
    Fail(kFirewallNegotiationFailed, std::string(kMalformed) + "SOCKS4 reply version " + std::to_string(version));
    return;
  }
  const uint8_t reply = ByteAt(answer_, 1);
  switch (reply) {
    case 90:
      Succeed();
      break;
    case 91:
      Fail(kConnectionRefused, std::string(kRequestRejected));
      break;
    case 92:
      Fail(kAccessDenied, std::string(kIdentdUnavailable));
      break;
    case 93:
      Fail(kAccessDenied, std::string(kIdentdDifferentUser));
      break;
    default:
      Fail(kFirewallNegotiationFailed, std::string(kUnknownError) + std::to_string(reply));
      break;
  }
}

void FirewallNegotiation::FinishSocks5Method() {
  const uint8_t version = ByteAt(answer_, 0);
  if (version != kSocks5Version) {
    Fail(kFirewallNegotiationFailed, std::string(kMalformed) + "SOCKS5 reply version " + std::to_string(version));
    return;
  }
  const uint8_t method = ByteAt(answer_, 1);
  const bool offeredPassword = !target_.user.empty() && !target_.password.empty();
  answer_.clear();
  if (method == kMethodNone) {
    SendSocks5Connect();
  } else if (method == kMethodUserPassword && offeredPassword) {
    // RFC 1929: version 1, the user and the password, each with its length.
    AppendByte(output_, kUserPasswordVersion);
    AppendByte(output_, target_.user.size());
    output_ += target_.user;
    AppendByte(output_, target_.password.size());
    output_ += target_.password;
    phase_ = Phase::kSocks5Auth;
  } else if (method == kMethodNoneAcceptable) {
    Fail(kAccessDenied, std::string(kNoAcceptableMethods));
  } else {
    // A method that was not offered is as unknown as one that does not exist.
    Fail(kFirewallNegotiationFailed, std::string(kUnknownMethod));
  }
}

void FirewallNegotiation::FinishSocks5Auth() {
  const uint8_t version = ByteAt(answer_, 0);
  if (version != kUserPasswordVersion) {
    Fail(kFirewallNegotiationFailed, std::string(kMalformed) + "authentication reply version " + std::to_string(version));
    return;
  }
  const uint8_t status = ByteAt(answer_, 1);
  if (status != 0) {
    Fail(kAccessDenied, std::string(kAuthenticationFailed) + std::to_string(status));
    return;
  }
  answer_.clear();
  SendSocks5Connect();
}

void FirewallNegotiation::FinishSocks5Reply() {
  const uint8_t version = ByteAt(answer_, 0);
  if (version != kSocks5Version) {
    Fail(kFirewallNegotiationFailed, std::string(kMalformed) + "SOCKS5 reply version " + std::to_string(version));
    return;
  }
  const uint8_t reply = ByteAt(answer_, 1);
  if (reply == 0) {
    const uint8_t type = ByteAt(answer_, 3);
    if (type != kAddressIPv4 && type != kAddressIPv6 && type != kAddressDomain) {
      Fail(kFirewallNegotiationFailed, std::string(kMalformed) + "bound address type " + std::to_string(type));
      return;
    }
    Succeed();
  } else if (reply <= kSocks5Failures.size()) {
    const Socks5Failure& failure = kSocks5Failures[reply - 1];
    Fail(failure.code, std::string(failure.text));
  } else {
    Fail(kFirewallNegotiationFailed, std::string(kUnknownError) + std::to_string(reply));
  }
}

void FirewallNegotiation::Succeed() {
  phase_ = Phase::kEnded;
  step_ = Step::kDone;
  answer_.clear();
}

void FirewallNegotiation::Fail(int32_t code, std::string text) {
  phase_ = Phase::kEnded;
  step_ = Step::kFailed;
  errorCode_ = code;
  errorText_ = std::move(text);
  output_.clear();
  answer_.clear();
}

}  // namespace vorlane::tcpclient
