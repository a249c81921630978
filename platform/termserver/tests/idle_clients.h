// Clients that connect from a chosen loopback address (any of 127/8) and then never log in: the
// load the caps on connections not logged in yet are for.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
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

  // Connects `count` clients from `source` to 127.0.0.1, one after the other, each waiting up to
  // `wait` for the greeting (admitted, kept open) or the server's close (refused); one that gets
  // neither waits for a place (kept open too). The server's events must be served meanwhile.
  void Open(const std::string& source, int count, std::chrono::milliseconds wait = std::chrono::seconds(10)) {
    for (int i = 0; i < count; ++i) {
      auto client = std::make_unique<testkit::TelnetClient>("127.0.0.1", port_, source);
      if (!client->Connected()) {
        ++failed_;
        continue;
      }
      waiting_.push_back(std::move(client));
      Settle(wait, waiting_.size() - 1);
    }
  }
  // Connects `count` clients from `source` without waiting for anything.
  void Connect(const std::string& source, int count) {
    for (int i = 0; i < count; ++i) {
      auto client = std::make_unique<testkit::TelnetClient>("127.0.0.1", port_, source);
      if (client->Connected()) {
        waiting_.push_back(std::move(client));
      } else {
        ++failed_;
      }
    }
  }
  // Looks again at the clients that were waiting for a place, for up to `wait` in all.
  void Settle(std::chrono::milliseconds wait, size_t from = 0) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (size_t i = from; i < waiting_.size();) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (waiting_[i]->ReadUntil(greeting_, std::max(left, std::chrono::milliseconds(1)))) {
        admitted_.push_back(std::move(waiting_[i]));
      } else if (waiting_[i]->SeenClosed()) {
        ++refused_;
      } else {
        ++i;
        continue;
      }
      waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  // Hangs up the admitted clients.
  void CloseAll() { admitted_.clear(); }
  // Hangs up one admitted client.
  void CloseOne() {
    if (!admitted_.empty()) admitted_.pop_back();
  }
  size_t Admitted() const { return admitted_.size(); }
  size_t Waiting() const { return waiting_.size(); }
  int Refused() const { return refused_; }
  int Failed() const { return failed_; }

 private:
  const int port_;
  const std::string greeting_;
  std::vector<std::unique_ptr<testkit::TelnetClient>> admitted_;
  std::vector<std::unique_ptr<testkit::TelnetClient>> waiting_;
  int refused_ = 0;
  int failed_ = 0;
};

}  // namespace vorlane::termserver::testing
