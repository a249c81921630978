// `openssl s_server` on 127.0.0.1 for the TLS tests, with a certificate and key of the test's and
// the options a case needs (-rev answers each line reversed; -www answers an HTTP request and
// then sends close_notify; -tls1 speaks TLS 1.0 only). Ended with its process group when the
// object goes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tcpclient/tests/proxy_servers.h"
#include "testing/temp_dir.h"

namespace vorlane::tcpclient::testing {

inline constexpr char kOpenssl[] = "/usr/bin/openssl";

class TlsServer {
 public:
  TlsServer(const testkit::TempDir& folder, const std::filesystem::path& certificate, const std::filesystem::path& key,
            std::vector<std::string> options);
  // Whether the server accepts connections.
  bool Ready() const { return ready_; }
  uint16_t Port() const { return port_; }
  // What the server wrote to its output and error.
  std::string Log() const { return process_ ? process_->Log() : std::string(); }

 private:
  uint16_t port_ = 0;
  std::unique_ptr<ProxyProcess> process_;
  bool ready_ = false;
};

}  // namespace vorlane::tcpclient::testing
