// Where a host name of a request points: the host and the SSH port.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vorlane::platform {

inline constexpr uint16_t kDefaultSshPort = 22;

struct RemoteEndpoint {
  std::string host;
  uint16_t port = kDefaultSshPort;

  bool operator==(const RemoteEndpoint&) const = default;
};

// "host", "host:port", "[v6 address]" or "[v6 address]:port"; an address with more than one
// colon and no brackets is an IPv6 address on the default port. Nothing for an empty host, an
// unclosed bracket, text after the bracket that is not ":port", a port that is not a number
// from 1 to 65535, and a host that holds '@' (a user name), blanks or control characters, or
// begins with '-'.
std::optional<RemoteEndpoint> ParseRemoteEndpoint(std::string_view text);

}  // namespace vorlane::platform
