// Host names and dotted addresses to socket addresses, as the control resolves RemoteHost and
// LocalHost: dotted IPv4 (or, for IPv6, a literal IPv6 address) directly, anything else through
// the system's host lookup.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "tcpclient/socket_errors.h"

namespace vorlane::tcpclient {

struct HostAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;

  int family() const { return storage.ss_family; }
  // 0.0.0.0 or ::, the address the control refuses to connect to.
  bool IsUnspecified() const;
  void SetPort(uint16_t port);
};

// The first address of `host` in the family asked for (AF_INET or AF_INET6), or the socket
// error of the failed lookup (11001 ... 11004).
struct HostLookup {
  std::optional<HostAddress> address;
  ControlError error;
};
HostLookup ResolveHost(std::string_view host, int family);

}  // namespace vorlane::tcpclient
