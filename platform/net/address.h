// Address: one socket address as the resolver hands it out and connect/bind take it.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

namespace vorlane::net {

struct Address {
  sockaddr_storage storage{};
  socklen_t length = 0;

  int family() const { return storage.ss_family; }
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
  // 0.0.0.0 or ::, an address nobody can be reached at (true for a family it does not know).
  bool IsUnspecified() const {
    if (family() == AF_INET) return reinterpret_cast<const sockaddr_in&>(storage).sin_addr.s_addr == INADDR_ANY;
    if (family() == AF_INET6) return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6&>(storage).sin6_addr);
    return true;
  }
  void SetPort(uint16_t port) {
    if (family() == AF_INET) reinterpret_cast<sockaddr_in&>(storage).sin_port = htons(port);
    if (family() == AF_INET6) reinterpret_cast<sockaddr_in6&>(storage).sin6_port = htons(port);
  }
};

}  // namespace vorlane::net
