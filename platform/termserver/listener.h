// The listening socket and the text form of peer addresses.
#pragma once

#include <sys/socket.h>

#include <string>

#include "platform/base/result.h"
#include "platform/base/unique_fd.h"

namespace vorlane::termserver {

// Listens on `address` (a numeric IPv4 or IPv6 address; empty = every interface, IPv6 and IPv4
// alike) and `port` (0 = any free port).
Result<UniqueFd> OpenListener(const std::string& address, int port);
// The port a listening socket is bound to.
int BoundPort(int fd);
// Dotted text for IPv4 peers, IPv4-mapped IPv6 peers included; the usual text for IPv6.
std::string AddressText(const sockaddr_storage& address);

}  // namespace vorlane::termserver
