#include "tcpclient/tests/tls_server.h"

#include <utility>

#include "testing/agent_process.h"

namespace vorlane::tcpclient::testing {

TlsServer::TlsServer(const testkit::TempDir& folder, const std::filesystem::path& certificate,
                     const std::filesystem::path& key, std::vector<std::string> options) {
  const int port = testkit::FreePort();
  if (port <= 0) return;
  port_ = static_cast<uint16_t>(port);
  std::vector<std::string> argv = {kOpenssl,          "s_server", "-accept", "127.0.0.1:" + std::to_string(port_),
                                   "-cert",           certificate.string(), "-key", key.string()};
  for (std::string& option : options) argv.push_back(std::move(option));
  const auto log = folder / ("s_server-" + std::to_string(port_) + ".log");
  process_ = std::make_unique<ProxyProcess>(std::move(argv), log, std::nullopt);
  ready_ = process_->WaitReady(port_);
}

}  // namespace vorlane::tcpclient::testing
