// For test programs that ping: the whole program moves into a private network (see
// EnterPrivateNetwork in ping_namespace.h) before its first test, and tests that need it skip
// with the reason when that failed.
//
//   [[maybe_unused]] ::testing::Environment* const g_environment =
//       ::testing::AddGlobalTestEnvironment(new vorlane::ping::testing::PrivateNetworkEnvironment);
//   TEST(Ping, Something) { REQUIRE_PRIVATE_NETWORK(); ... }
#pragma once

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <utility>

#include "ping/tests/ping_namespace.h"

namespace vorlane::ping::testing {

// Why the program's network tests cannot run; empty once it sits in its own network.
inline std::string& NetworkSkipReason() {
  static std::string reason = "private network not set up";
  return reason;
}

// Takes CAP_NET_RAW out of the calling thread's capability sets (and so of the threads it
// starts later): raw sockets are refused from then on. Programs it runs as root get the
// capability back. False when the kernel refuses.
inline bool DropRawSocketCapability() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  const unsigned bit = 1u << (CAP_NET_RAW % 32);
  data[CAP_NET_RAW / 32].effective &= ~bit;
  data[CAP_NET_RAW / 32].permitted &= ~bit;
  data[CAP_NET_RAW / 32].inheritable &= ~bit;
  return ::syscall(SYS_capset, &header, data) == 0;
}

// Enters the private network while the program still has a single thread; `then` runs after a
// successful entry and may give a reason to skip the network tests.
class PrivateNetworkEnvironment : public ::testing::Environment {
 public:
  explicit PrivateNetworkEnvironment(std::function<std::string()> then = {}) : then_(std::move(then)) {}
  void SetUp() override {
    NetworkSkipReason() = EnterPrivateNetwork();
    if (NetworkSkipReason().empty() && then_) NetworkSkipReason() = then_();
  }

 private:
  std::function<std::string()> then_;
};

}  // namespace vorlane::ping::testing

#define REQUIRE_PRIVATE_NETWORK()                             \
  if (!::vorlane::ping::testing::NetworkSkipReason().empty()) \
  GTEST_SKIP() << ::vorlane::ping::testing::NetworkSkipReason()
