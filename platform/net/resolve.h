// Host names and numeric addresses to socket addresses: the one place this system asks the
// system's resolver.
#pragma once

#include <sys/socket.h>

#include <string_view>
#include <vector>

#include "platform/base/result.h"
#include "platform/net/address.h"

namespace vorlane::net {

struct ResolveOptions {
  int family = AF_UNSPEC;    // AF_INET, AF_INET6 or AF_UNSPEC for both
  bool numericOnly = false;  // a numeric address only, never a lookup
};

// The addresses of `host` in the order the resolver gives them, one per address, with port 0;
// never empty on success. On failure Error::code is the socket code of the failure
// (SocketCodeFromResolver: 11001 host not found ... 11004 no data of that family) and
// Error::message the resolver's own text. A name holding a NUL byte is no host's (the resolver
// would read the part before it) and fails as host not found without a lookup.
Result<std::vector<Address>> Resolve(std::string_view host, const ResolveOptions& options = {});

}  // namespace vorlane::net
