#include "platform/remote/remote_endpoint.h"

namespace vorlane::platform {
namespace {

std::optional<uint16_t> ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  uint32_t port = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + static_cast<uint32_t>(c - '0');
  }
  if (port == 0 || port > 65535) return std::nullopt;
  return static_cast<uint16_t>(port);
}

// A host name or address only: the SSH layer would read "user@host" as a login of its own, and
// blanks, control characters or a leading '-' have no place in a host name.
bool IsPlainHost(std::string_view host) {
  if (host.empty() || host.starts_with('-')) return false;
  for (const char c : host) {
    if (c == '@' || static_cast<unsigned char>(c) <= ' ' || c == '\x7f') return false;
  }
  return true;
}

std::optional<RemoteEndpoint> Checked(std::optional<RemoteEndpoint> endpoint) {
  if (endpoint && !IsPlainHost(endpoint->host)) return std::nullopt;
  return endpoint;
}

std::optional<RemoteEndpoint> Parse(std::string_view text) {
  if (text.starts_with('[')) {
    const size_t close = text.find(']');
    if (close == std::string_view::npos || close == 1) return std::nullopt;
    RemoteEndpoint endpoint{std::string(text.substr(1, close - 1)), kDefaultSshPort};
    const std::string_view rest = text.substr(close + 1);
    if (rest.empty()) return endpoint;
    if (!rest.starts_with(':')) return std::nullopt;
    const std::optional<uint16_t> port = ParsePort(rest.substr(1));
    if (!port) return std::nullopt;
    endpoint.port = *port;
    return endpoint;
  }
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos || text.find(':', colon + 1) != std::string_view::npos) {
    // No port, or a bare IPv6 address (whose colons are no port separator).
    if (text.empty()) return std::nullopt;
    return RemoteEndpoint{std::string(text), kDefaultSshPort};
  }
  if (colon == 0) return std::nullopt;
  const std::optional<uint16_t> port = ParsePort(text.substr(colon + 1));
  if (!port) return std::nullopt;
  return RemoteEndpoint{std::string(text.substr(0, colon)), *port};
}

}  // namespace

std::optional<RemoteEndpoint> ParseRemoteEndpoint(std::string_view text) { return Checked(Parse(text)); }

}  // namespace vorlane::platform
