#include "platform/net/resolve.h"

#include <netdb.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "platform/net/socket_errors.h"

namespace vorlane::net {

Result<std::vector<Address>> Resolve(std::string_view host, const ResolveOptions& options) {
  const std::string name(host);
  if (name.find('\0') != std::string::npos) return Error{kHostNotFound, "the name holds a NUL byte"};
  addrinfo hints{};
  hints.ai_family = options.family;
  hints.ai_socktype = SOCK_STREAM;  // one entry per address instead of one per socket type
  if (options.numericOnly) hints.ai_flags = AI_NUMERICHOST;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
  const int savedErrno = errno;
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, &::freeaddrinfo);
  if (rc != 0) return Error{SocketCodeFromResolver(rc, savedErrno), ::gai_strerror(rc)};
  std::vector<Address> addresses;
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_addrlen > sizeof(sockaddr_storage)) continue;
    if (options.family != AF_UNSPEC && entry->ai_family != options.family) continue;
    Address& address = addresses.emplace_back();
    std::memcpy(&address.storage, entry->ai_addr, entry->ai_addrlen);
    address.length = entry->ai_addrlen;
  }
  if (addresses.empty()) return Error{kNoData, "no address of the family asked for"};
  return addresses;
}

}  // namespace vorlane::net
