// The control's settings as `Config` reaches them: one record of values, and the parser of
// "Name" (read) and "Name=Value" (write) texts with the rules of the control: names compare
// without regard to ASCII case; booleans are true for "true", "yes" or "1" in any case and read
// back "True"/"False"; integers are decimal, the TLS integers also "0x" hexadecimal. Pure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/base/result.h"
#include "tcpclient/kelpline.h"
#include "tcpclient/socket_errors.h"

namespace vorlane::tcpclient {

inline constexpr int64_t kDefaultLineLength = 2048;
inline constexpr int64_t kLongestLineLength = 65536;
// Buffer sizes at or below this are left to the system.
inline constexpr int64_t kSmallestAppliedBufferSize = 2048;

struct ControlSettings {
  // Also properties of the control.
  std::string eol;  // bytes
  std::string firewallHost;
  std::string firewallPassword;
  std::string firewallUser;
  int64_t firewallPort = 0;
  int64_t firewallType = fwNone;

  // Written only, reads back empty: header lines added to an HTTP CONNECT request.
  std::string firewallData;
  int64_t useExtendedDst = 0;
  int64_t maxLineLength = kDefaultLineLength;
  int64_t inBufferSize = kDefaultLineLength;
  int64_t outBufferSize = kDefaultLineLength;
  bool tcpNoDelay = false;
  bool splitCrlf = false;
  bool absoluteTimeout = false;
  bool timeoutInMilliseconds = false;
  // An addition of this system: RemoteHost resolves to an IPv6 address and the socket is IPv6.
  bool useIpv6 = false;
  std::string winsockPath = "WSOCK32.DLL";
  int64_t sslSecurityFlags = 0;
  int64_t sslEnabledProtocols = 255;
  std::string sslProvider = "Microsoft Unified Security Protocol Provider";
  int64_t sslCipherStrength = 40;
  bool useDefaultCredentials = false;
  bool reuseSslSession = false;
  int64_t codePage = 0;  // 0: UTF-8 on this system
  int64_t charsetMode = 0;
};

// What `Config` needs to know of the connection.
struct ConfigContext {
  bool connected = false;  // a socket exists
  int socketHandle = -1;
};

// The outcome of one `Config` call: the answer text, or a failure with its code (0: a failure
// without a control code, reported as an invalid argument) and text.
using ConfigOutcome = Result<std::string, ControlError>;

ConfigOutcome ApplyConfig(ControlSettings& settings, std::string_view configuration, const ConfigContext& context);

// The parsing rules on their own.
bool ParseConfigBool(std::string_view text);
const char* FormatConfigBool(bool value);

}  // namespace vorlane::tcpclient
