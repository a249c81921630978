// Clients that connect from a chosen loopback address (any of 127/8) and then never log in: the
// load the caps on connections not logged in yet are for.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "testing/telnet_client.h"

namespace vorlane::termserver::testing {

// Whatever the server first sends an admitted client: the login prompt, the SSH version line.
inline constexpr std::string_view kTelnetGreeting = "login: ";
inline constexpr std::string_view kSshGreeting = "SSH-2.0-";

// "127.0.0.<n>".
inline std::string Loopback(int n) { return "127.0.0." + std::to_string(n); }

class IdleClients {
 public:
  IdleClients(int port, std::string_view greeting) : port_(port), greeting_(greeting) {}

  // Connects `count` clients from `source` to 127.0.0.1, one after the other, each waiting for
  // the greeting (admitted, kept open) or the server's close (refused). The server's events must
  // be served meanwhile.
  void Open(const std::string& source, int count) {
    for (int i = 0; i < count; ++i) {
      auto client = std::make_unique<testkit::TelnetClient>("127.0.0.1", port_, source);
      if (!client->Connected()) {
        ++failed_;
      } else if (client->ReadUntil(greeting_)) {
        admitted_.push_back(std::move(client));
      } else if (client->Closed()) {
        ++refused_;
      } else {
        ++failed_;  // neither greeted nor closed: a fault either way
      }
    }
  }
  // Hangs up the admitted clients.
  void CloseAll() { admitted_.clear(); }
  // Hangs up one admitted client.
  void CloseOne() {
    if (!admitted_.empty()) admitted_.pop_back();
  }

  size_t Admitted() const { return admitted_.size(); }
  int Refused() const { return refused_; }
  int Failed() const { return failed_; }

 private:
  const int port_;
  const std::string greeting_;
  std::vector<std::unique_ptr<testkit::TelnetClient>> admitted_;
  int refused_ = 0;
  int failed_ = 0;
};

}  // namespace vorlane::termserver::testing
