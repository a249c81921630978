#include "platform/net/resolve.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "platform/net/socket_errors.h"

namespace vorlane::net {
namespace {

std::string Text(const Address& address) {
  char text[INET6_ADDRSTRLEN] = {};
  const void* raw = address.family() == AF_INET6
                        ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6&>(address.storage).sin6_addr)
                        : static_cast<const void*>(&reinterpret_cast<const sockaddr_in&>(address.storage).sin_addr);
  return ::inet_ntop(address.family(), raw, text, sizeof text) != nullptr ? text : "";
}

// Every row resolves without the network: numeric addresses, the hosts file, names refused
// before any lookup. `first` is the first address's text on success; `code` the socket code of
// the failure.
TEST(ResolveTest, Table) {
  const struct {
    std::string name;
    ResolveOptions options;
    std::string first;
    int code;
  } kRows[] = {
      {"127.0.0.1", {.family = AF_INET}, "127.0.0.1", 0},
      {"10.1", {.family = AF_INET, .numericOnly = true}, "10.0.0.1", 0},  // the short dotted forms
      {"::1", {.family = AF_INET6}, "::1", 0},
      {"::ffff:192.0.2.7", {.numericOnly = true}, "::ffff:192.0.2.7", 0},
      {"localhost", {.family = AF_INET}, "127.0.0.1", 0},
      // The part before a NUL is an address, the whole name is none.
      {std::string("127.0.0.1\0.evil", 15), {.family = AF_INET}, "", kHostNotFound},
      {std::string("::1\0x", 5), {.family = AF_INET6}, "", kHostNotFound},
      {std::string("localhost\0", 10), {}, "", kHostNotFound},
      {"", {}, "", kHostNotFound},
      {"name.invalid", {.numericOnly = true}, "", kHostNotFound},
      {"localhost", {.numericOnly = true}, "", kHostNotFound},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name.c_str());
    auto found = Resolve(row.name, row.options);
    if (row.code != 0) {
      ASSERT_FALSE(found.ok());
      EXPECT_EQ(found.error().code, row.code);
      EXPECT_FALSE(found.error().message.empty());
      continue;
    }
    ASSERT_TRUE(found.ok()) << found.error().message;
    ASSERT_FALSE(found.value().empty());
    const Address& first = found.value().front();
    EXPECT_EQ(Text(first), row.first);
    EXPECT_EQ(first.length, first.family() == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
    EXPECT_FALSE(first.IsUnspecified());
    if (row.options.family != AF_UNSPEC) {
      for (const Address& address : found.value()) EXPECT_EQ(address.family(), row.options.family);
    }
  }
}

TEST(ResolveTest, PortAndUnspecified) {
  auto any = Resolve("0.0.0.0", {.family = AF_INET});
  ASSERT_TRUE(any.ok());
  Address address = any.value().front();
  EXPECT_TRUE(address.IsUnspecified());
  address.SetPort(8080);
  EXPECT_EQ(ntohs(reinterpret_cast<const sockaddr_in&>(address.storage).sin_port), 8080);
}

}  // namespace
}  // namespace vorlane::net
