// An SFTP (version 3) server over any byte stream, confined to one folder: every path is
// resolved component by component from that folder, so no path, "..", or symbolic link reaches
// outside it.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/termserver/connection.h"

namespace vorlane::termserver {

class SftpServer {
 public:
  // `send` writes bytes back to the client. The home folder is asked of `connection` when the
  // server starts; each operation is allowed or refused through connection.SftpAllowed.
  SftpServer(Connection& connection, int32_t channel, std::function<void(std::string_view)> send);
  ~SftpServer();
  SftpServer(const SftpServer&) = delete;
  SftpServer& operator=(const SftpServer&) = delete;

  // Takes bytes from the client and answers every complete packet. False when the stream can no
  // longer be understood (the channel should be closed).
  bool Feed(std::string_view bytes);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vorlane::termserver
