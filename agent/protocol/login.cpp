#include "agent/protocol/login.h"

#include <arpa/inet.h>

#include <optional>
#include <string>

#include "agent/log/agent_log.h"
#include "agent/request/answer.h"
#include "agent/request/record.h"

namespace vorlane::agent {
namespace {

constexpr std::string_view kEmptyCredentials = "****";
constexpr std::string_view kLoginAllowed = "Login allowed";
constexpr std::string_view kLoginRefused = "Login NOT allowed!";
constexpr std::string_view kWrongUser = "Wrong user!";
constexpr std::string_view kWrongPassword = "Wrong password!";
constexpr std::string_view kWrongRange = "Wrong IP!";
constexpr std::string_view kWrongAddress = "Wrong IP address!";

constexpr std::string_view kSftpServiceRequest = "SFTP service request";
constexpr std::string_view kServiceStart = "ServiceStart";
constexpr std::string_view kSessionAddedFormat = "Add sessionid = %s to the sessions list.";
constexpr std::string_view kNoSessionIdFormat = "Could not create a session identifier: %s";
constexpr std::string_view kLoginAnswer =
    "#keycount=3#responseaction=login#sessionid=%s#registrationlevel=standard#";

constexpr int32_t kSftpServiceType = 3;
constexpr uint32_t kNoAddress = 0xFFFFFFFF;
constexpr std::string_view kMappedIpv4Prefix = "::ffff:";

// The leading-digits conversion: blanks, an optional sign, then digits up to the first other
// character; nothing readable is 0. Kept modulo 2^32, like the sum it goes into.
uint32_t LeadingNumber(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  uint32_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<uint32_t>(text[i] - '0');
  }
  return negative ? 0u - value : value;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
    if (c != prefix[i]) return false;
  }
  return true;
}

// The peer's address as dotted IPv4, an IPv4-mapped IPv6 address standing for the IPv4 address
// it carries; nothing for any other peer. Ranges are IPv4 only, and the leading-digits reading of
// a text such as "::1" would make it the highest IPv4 address.
std::optional<std::string_view> Ipv4Peer(std::string_view remoteAddress) {
  if (StartsWithIgnoringCase(remoteAddress, kMappedIpv4Prefix)) remoteAddress.remove_prefix(kMappedIpv4Prefix.size());
  in_addr parsed{};
  if (::inet_pton(AF_INET, std::string(remoteAddress).c_str(), &parsed) != 1) return std::nullopt;
  return remoteAddress;
}

bool RangeAdmits(std::string_view range, std::string_view remoteAddress) {
  const std::optional<std::string_view> peer = Ipv4Peer(remoteAddress);
  const size_t dash = range.find('-');
  if (dash == std::string_view::npos) {
    if (peer && range == *peer) return true;
    Log(kWrongAddress, kLogInfo);
    return false;
  }
  const uint32_t low = AddressValue(range.substr(0, dash));
  const uint32_t high = AddressValue(range.substr(dash + 1));
  const uint32_t client = peer ? AddressValue(*peer) : 0;
  if (peer && low <= client && client <= high && client != 0) return true;
  Log(kWrongRange, kLogInfo);
  return false;
}

}  // namespace

uint32_t AddressValue(std::string_view dotted) {
  size_t dots[3];
  size_t from = 0;
  for (size_t& dot : dots) {
    dot = dotted.find('.', from);
    if (dot == std::string_view::npos) return kNoAddress;
    from = dot + 1;
  }
  const uint32_t a = LeadingNumber(dotted.substr(0, dots[0]));
  const uint32_t b = LeadingNumber(dotted.substr(dots[0] + 1, dots[1] - dots[0] - 1));
  const uint32_t c = LeadingNumber(dotted.substr(dots[1] + 1, dots[2] - dots[1] - 1));
  const uint32_t d = LeadingNumber(dotted.substr(dots[2] + 1));
  return (a << 24) + (b << 16) + (c << 8) + d;
}

bool ValidateLogin(const std::filesystem::path& agentConfig, const cipher::PasswordCipher& cipher,
                   std::string_view userName, std::string_view password, std::string_view remoteAddress) {
  // The configuration and the cipher work on C strings: a NUL would cut the name or password
  // there, so that "s3cret\0junk" would pass for "s3cret".
  if (HoldsNul(userName) || HoldsNul(password)) {
    Log(kWrongPassword, kLogInfo);
    return false;
  }
  const std::optional<UserEntry> entry = FindUserEntry(agentConfig, userName);
  if (!entry) {
    Log(kWrongUser, kLogInfo);
    return false;
  }
  // An entry without a stored password admits nobody. Deciphering the empty value would yield
  // sixteen fixed bytes, and a client offering exactly those would otherwise get in.
  if (entry->password.empty() || cipher.DecipherPassword(entry->password) != password) {
    Log(kWrongPassword, kLogInfo);
    return false;
  }
  if (entry->range.empty()) return true;
  return RangeAdmits(entry->range, remoteAddress);
}

int32_t OnLoginPassword(AgentContext& context, UserHandle& user, std::string_view login, std::string_view password) {
  if (login.empty() && password.empty()) {
    Log(kEmptyCredentials, kLogInfo);
    return 0;
  }
  const std::string address = user.RemoteAddress();
  if (ValidateLogin(context.paths.agentConfig, context.cipher, login, password, address)) {
    Log(kLoginAllowed, kLogInfo);
    return 1;
  }
  Log(kLoginRefused, kLogInfo);
  return 0;
}

void OnServiceStart(AgentContext& context, UserHandle& user, int32_t serviceIndex, int32_t serviceType,
                    std::string_view /*serviceName*/) {
  if (serviceType == kSftpServiceType) {
    Log(kSftpServiceRequest, kLogInfo);
    return;
  }
  Log(kServiceStart, kLogInfo);
  Result<std::string> sessionId = NewSessionId();
  if (!sessionId) {
    // No identifier means no session: the client gets no login answer and cannot send requests.
    Log(FormatAnswer(kNoSessionIdFormat, {sessionId.error().message}), kLogError);
    return;
  }
  const std::string answer = FormatAnswer(kLoginAnswer, {sessionId.value()});
  // On the channel that was started: an SSH connection may carry several shells, each of which
  // waits for its own login answer (over Telnet there is only the one).
  user.Send(answer, serviceIndex);
  Log(answer, kLogOutgoing);
  context.sessions.Add(sessionId.value(), context.sessions.Now());
  Log(FormatAnswer(kSessionAddedFormat, {sessionId.value()}), kLogInfo);
}

}  // namespace vorlane::agent
