// The agent's view of one client connection: what the request and login handlers need of the
// terminal server's user object.
#pragma once

#include <cstdint>
#include <string>

namespace vorlane::agent {

class UserHandle {
 public:
  virtual ~UserHandle() = default;
  // The client's address as dotted IPv4 text (empty when unknown).
  virtual std::string RemoteAddress() = 0;
  // The text of the request being handled, at most `count` characters.
  virtual std::string Receive(int32_t count) = 0;
  // Sends one answer record on the service the request came from.
  virtual void Send(const std::string& text, int32_t serviceIndex) = 0;
  // The folder SFTP is confined to on this connection.
  virtual void SetSftpHome(const std::string& folder) = 0;
};

}  // namespace vorlane::agent
