#include "tcpclient/control_settings.h"

#include <sys/resource.h>

#include <algorithm>
#include <charconv>
#include <optional>

#include "platform/base/ascii.h"
#include "tcpclient/socket_errors.h"

namespace vorlane::tcpclient {
namespace {

constexpr std::string_view kTextReadOnly = "This setting can only be read.";
constexpr std::string_view kTextNotANumber = "The value is not a valid number.";

// The read-only socket library settings. This system has no loadable socket library: the
// kernel's sockets are always there, so the library reads as loaded and running, its limit of
// sockets is the process's limit of open descriptors, and the largest datagram is the largest
// UDP payload over IPv4.
constexpr std::string_view kWinsockInfo = "BSD sockets of the Linux kernel";
constexpr int64_t kMaxDatagramSize = 65507;

enum class Kind { kBool, kInt, kPort, kTlsInt, kText, kMaxLineLength, kSplitCrlf, kSetOnlyText, kReadOnly };

struct Setting {
  std::string_view name;
  Kind kind;
  bool ControlSettings::*flag = nullptr;
  int64_t ControlSettings::*number = nullptr;
  std::string ControlSettings::*text = nullptr;
};

const Setting kSettings[] = {
    {"UseExtendedDST", Kind::kInt, nullptr, &ControlSettings::useExtendedDst},
    {"FirewallHost", Kind::kText, nullptr, nullptr, &ControlSettings::firewallHost},
    {"FirewallPort", Kind::kPort, nullptr, &ControlSettings::firewallPort},
    {"FirewallType", Kind::kInt, nullptr, &ControlSettings::firewallType},
    {"FirewallUser", Kind::kText, nullptr, nullptr, &ControlSettings::firewallUser},
    {"FirewallPassword", Kind::kText, nullptr, nullptr, &ControlSettings::firewallPassword},
    {"FirewallData", Kind::kSetOnlyText, nullptr, nullptr, &ControlSettings::firewallData},
    {"MaxLineLength", Kind::kMaxLineLength, nullptr, &ControlSettings::maxLineLength},
    {"SocketHandle", Kind::kReadOnly},
    {"InBufferSize", Kind::kInt, nullptr, &ControlSettings::inBufferSize},
    {"OutBufferSize", Kind::kInt, nullptr, &ControlSettings::outBufferSize},
    {"TcpNoDelay", Kind::kBool, &ControlSettings::tcpNoDelay},
    {"SplitCRLF", Kind::kSplitCrlf, &ControlSettings::splitCrlf},
    {"AbsoluteTimeout", Kind::kBool, &ControlSettings::absoluteTimeout},
    {"WinsockLoaded", Kind::kReadOnly},
    {"WinsockInfo", Kind::kReadOnly},
    {"WinsockMaxSockets", Kind::kReadOnly},
    {"WinsockMaxDatagramSize", Kind::kReadOnly},
    {"WinsockStatus", Kind::kReadOnly},
    {"WinsockPath", Kind::kText, nullptr, nullptr, &ControlSettings::winsockPath},
    {"TimeoutInMilliseconds", Kind::kBool, &ControlSettings::timeoutInMilliseconds},
    {"UseIPv6", Kind::kBool, &ControlSettings::useIpv6},
    {"SSLSecurityFlags", Kind::kTlsInt, nullptr, &ControlSettings::sslSecurityFlags},
    {"SSLEnabledProtocols", Kind::kTlsInt, nullptr, &ControlSettings::sslEnabledProtocols},
    {"SSLProvider", Kind::kText, nullptr, nullptr, &ControlSettings::sslProvider},
    {"SSLCipherStrength", Kind::kTlsInt, nullptr, &ControlSettings::sslCipherStrength},
    {"UseDefaultCredentials", Kind::kBool, &ControlSettings::useDefaultCredentials},
    {"ReuseSSLSession", Kind::kBool, &ControlSettings::reuseSslSession},
    {"CodePage", Kind::kInt, nullptr, &ControlSettings::codePage},
    {"CharsetMode", Kind::kInt, nullptr, &ControlSettings::charsetMode},
};

std::optional<int64_t> ParseInteger(std::string_view text, bool allowHex) {
  int base = 10;
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (allowHex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return negative ? -value : value;
}

ControlError Failure(int32_t code, std::string_view text) { return {code, std::string(text)}; }
ConfigOutcome Answer(std::string text) { return text; }

int64_t MaxSockets() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 65536;
  return static_cast<int64_t>(limit.rlim_cur);
}

std::string ReadOnlyValue(std::string_view name, const ConfigContext& context) {
  if (EqualsIgnoringAsciiCase(name, "SocketHandle")) return std::to_string(context.socketHandle);
  if (EqualsIgnoringAsciiCase(name, "WinsockLoaded")) return FormatConfigBool(true);
  if (EqualsIgnoringAsciiCase(name, "WinsockInfo")) return std::string(kWinsockInfo);
  if (EqualsIgnoringAsciiCase(name, "WinsockMaxSockets")) return std::to_string(MaxSockets());
  if (EqualsIgnoringAsciiCase(name, "WinsockMaxDatagramSize")) return std::to_string(kMaxDatagramSize);
  return "Running";  // WinsockStatus
}

}  // namespace

bool ParseConfigBool(std::string_view text) {
  return EqualsIgnoringAsciiCase(text, "true") || EqualsIgnoringAsciiCase(text, "yes") || text == "1";
}

const char* FormatConfigBool(bool value) { return value ? "True" : "False"; }

ConfigOutcome ApplyConfig(ControlSettings& settings, std::string_view configuration, const ConfigContext& context) {
  const size_t equals = configuration.find('=');
  const std::string_view name = configuration.substr(0, equals);
  const Setting* setting = nullptr;
  for (const Setting& candidate : kSettings) {
    if (EqualsIgnoringAsciiCase(candidate.name, name)) setting = &candidate;
  }
  if (setting == nullptr) return Failure(0, kTextUnknownSetting);

  if (equals == std::string_view::npos) {
    switch (setting->kind) {
      case Kind::kBool:
      case Kind::kSplitCrlf:
        return Answer(FormatConfigBool(settings.*(setting->flag)));
      case Kind::kInt:
      case Kind::kPort:
      case Kind::kTlsInt:
      case Kind::kMaxLineLength:
        return Answer(std::to_string(settings.*(setting->number)));
      case Kind::kText:
        return Answer(settings.*(setting->text));
      case Kind::kSetOnlyText:
        return Answer("");
      case Kind::kReadOnly:
        return Answer(ReadOnlyValue(setting->name, context));
    }
  }

  const std::string_view value = configuration.substr(equals + 1);
  switch (setting->kind) {
    case Kind::kBool:
      settings.*(setting->flag) = ParseConfigBool(value);
      break;
    case Kind::kSplitCrlf:
      settings.splitCrlf = ParseConfigBool(value);
      if (settings.splitCrlf) settings.eol = "\r\n";
      break;
    case Kind::kInt:
    case Kind::kPort:
    case Kind::kTlsInt: {
      const std::optional<int64_t> number = ParseInteger(value, setting->kind == Kind::kTlsInt);
      if (!number) return Failure(0, kTextNotANumber);
      if (setting->kind == Kind::kPort && (*number < 0 || *number > 65535)) return Failure(0, kTextValueOutOfRange);
      settings.*(setting->number) = *number;
      break;
    }
    case Kind::kMaxLineLength: {
      if (context.connected) return Failure(kErrMaxLineLengthBusy, kTextMaxLineLengthBusy);
      const std::optional<int64_t> number = ParseInteger(value, false);
      if (!number) return Failure(0, kTextNotANumber);
      if (*number < 1) return Failure(0, kTextValueOutOfRange);
      settings.maxLineLength = std::min(*number, kLongestLineLength);
      break;
    }
    case Kind::kText:
    case Kind::kSetOnlyText:
      settings.*(setting->text) = std::string(value);
      break;
    case Kind::kReadOnly:
      return Failure(0, kTextReadOnly);
  }
  return Answer("");
}

}  // namespace vorlane::tcpclient
