#include "platform/termserver/listener.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>

#include "platform/net/resolve.h"

namespace vorlane::termserver {
namespace {

constexpr int kBacklog = 128;

Error SocketError(const std::string& what) { return Error{errno, what + ": " + ::strerror(errno)}; }

Result<UniqueFd> ListenOn(const sockaddr* address, socklen_t length, bool dualStack) {
  UniqueFd fd(::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return SocketError("socket");
  int one = 1;
  (void)::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (address->sa_family == AF_INET6) {
    int v6only = dualStack ? 0 : 1;
    (void)::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
  }
  if (::bind(fd.get(), address, length) != 0) return SocketError("bind");
  if (::listen(fd.get(), kBacklog) != 0) return SocketError("listen");
  return fd;
}

}  // namespace

Result<UniqueFd> OpenListener(const std::string& address, int port) {
  if (port < 0 || port > 65535) return Error{EINVAL, "port out of range: " + std::to_string(port)};
  if (address.empty()) {
    sockaddr_in6 any6{};
    any6.sin6_family = AF_INET6;
    any6.sin6_addr = in6addr_any;
    any6.sin6_port = htons(static_cast<uint16_t>(port));
    auto dual = ListenOn(reinterpret_cast<sockaddr*>(&any6), sizeof any6, true);
    if (dual.ok() || (dual.error().code != EAFNOSUPPORT && dual.error().code != EADDRNOTAVAIL)) return dual;
    // No IPv6 on this host: all IPv4 interfaces.
    sockaddr_in any4{};
    any4.sin_family = AF_INET;
    any4.sin_addr.s_addr = htonl(INADDR_ANY);
    any4.sin_port = htons(static_cast<uint16_t>(port));
    return ListenOn(reinterpret_cast<sockaddr*>(&any4), sizeof any4, false);
  }
  auto found = net::Resolve(address, {.numericOnly = true});
  if (!found) return Error{EINVAL, "not a numeric address: " + address + " (" + found.error().message + ")"};
  net::Address& local = found.value().front();
  local.SetPort(static_cast<uint16_t>(port));
  return ListenOn(local.get(), local.length, false);
}

int BoundPort(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
  if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  return -1;
}

std::string AddressText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr, text, sizeof text);
  } else if (address.ss_family == AF_INET6) {
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
      ::inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof text);
    } else {
      ::inet_ntop(AF_INET6, &v6, text, sizeof text);
    }
  }
  return text;
}

}  // namespace vorlane::termserver
