#include "platform/remote/remote_endpoint.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace vorlane::platform {
namespace {

TEST(RemoteEndpointTest, ReadsHostAndPortForms) {
  struct Case {
    std::string text;
    std::optional<RemoteEndpoint> expected;
  };
  const Case cases[] = {
      {"server1", RemoteEndpoint{"server1", 22}},
      {"server1:2222", RemoteEndpoint{"server1", 2222}},
      {"127.0.0.1:65535", RemoteEndpoint{"127.0.0.1", 65535}},
      {"[::1]:2200", RemoteEndpoint{"::1", 2200}},
      {"[fe80::1%lo]", RemoteEndpoint{"fe80::1%lo", 22}},
      {"::1", RemoteEndpoint{"::1", 22}},
      {"2001:db8::5", RemoteEndpoint{"2001:db8::5", 22}},
      {"\\\\server1", RemoteEndpoint{"\\\\server1", 22}},
      {"", std::nullopt},
      {":22", std::nullopt},
      {"server1:", std::nullopt},
      {"server1:0", std::nullopt},
      {"server1:65536", std::nullopt},
      {"server1:123456", std::nullopt},
      {"server1:22x", std::nullopt},
      {"server1:-1", std::nullopt},
      {"[::1", std::nullopt},
      {"[]:22", std::nullopt},
      {"[::1]2200", std::nullopt},
      {"[::1]:", std::nullopt},
      {"root@server1", std::nullopt},
      {"root@server1:22", std::nullopt},
      {"[root@::1]:22", std::nullopt},
      {"server 1", std::nullopt},
      {"server1\n", std::nullopt},
      {"-oProxyCommand=x", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseRemoteEndpoint(c.text), c.expected) << c.text;
  }
}

}  // namespace
}  // namespace vorlane::platform
