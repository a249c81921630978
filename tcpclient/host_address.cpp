#include "tcpclient/host_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

namespace vorlane::tcpclient {

bool HostAddress::IsUnspecified() const {
  if (family() == AF_INET) return reinterpret_cast<const sockaddr_in&>(storage).sin_addr.s_addr == INADDR_ANY;
  if (family() == AF_INET6) return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6&>(storage).sin6_addr);
  return true;
}

void HostAddress::SetPort(uint16_t port) {
  if (family() == AF_INET) reinterpret_cast<sockaddr_in&>(storage).sin_port = htons(port);
  if (family() == AF_INET6) reinterpret_cast<sockaddr_in6&>(storage).sin6_port = htons(port);
}

HostLookup ResolveHost(std::string_view host, int family) {
  const std::string name(host);
  // The parsers and the resolver read the name up to its first NUL: a name holding one is no
  // host's, never the part before it.
  if (name.find('\0') != std::string::npos) return {std::nullopt, SocketError(11001)};
  HostAddress address;
  if (family == AF_INET) {
    auto& in = reinterpret_cast<sockaddr_in&>(address.storage);
    if (::inet_pton(AF_INET, name.c_str(), &in.sin_addr) == 1) {
      in.sin_family = AF_INET;
      address.length = sizeof(sockaddr_in);
      return {address, {}};
    }
  } else {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(address.storage);
    if (::inet_pton(AF_INET6, name.c_str(), &in6.sin6_addr) == 1) {
      in6.sin6_family = AF_INET6;
      address.length = sizeof(sockaddr_in6);
      return {address, {}};
    }
  }
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int result = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
  const int savedErrno = errno;
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, &::freeaddrinfo);
  if (result != 0) return {std::nullopt, SocketError(SocketCodeFromResolver(result, savedErrno))};
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == family && entry->ai_addrlen <= sizeof(address.storage)) {
      std::memcpy(&address.storage, entry->ai_addr, entry->ai_addrlen);
      address.length = entry->ai_addrlen;
      return {address, {}};
    }
  }
  return {std::nullopt, SocketError(11004)};  // a name without an address of this family
}

}  // namespace vorlane::tcpclient
