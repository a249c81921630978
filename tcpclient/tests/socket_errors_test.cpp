#include "tcpclient/socket_errors.h"

#include <sys/socket.h>

#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>
#include <string>

#include "tcpclient/host_address.h"

namespace vorlane::tcpclient {
namespace {

TEST(SocketErrorsTest, ErrnoBecomesTheSocketCode) {
  const struct {
    int error;
    int32_t code;
  } kCases[] = {
      {ECONNREFUSED, 10061}, {ECONNRESET, 10054},   {ETIMEDOUT, 10060},     {EHOSTUNREACH, 10065},
      {ENETUNREACH, 10051},  {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049}, {EWOULDBLOCK, 10035},
      {EINPROGRESS, 10036},  {EALREADY, 10037},     {ENOTCONN, 10057},      {EISCONN, 10056},
      {EINVAL, 10022},       {EAFNOSUPPORT, 10047}, {ECONNABORTED, 10053},  {EPIPE, 10058},
  };
  for (const auto& c : kCases) EXPECT_EQ(SocketCodeFromErrno(c.error), c.code) << c.error;
}

TEST(SocketErrorsTest, AnUnmappedErrnoNeverNamesAnotherKnownFailure) {
  // ENODATA (61) would be 10061, "Connection refused": it must not come out as that.
  const int32_t code = SocketCodeFromErrno(ENODATA);
  EXPECT_NE(code, 10061);
  EXPECT_EQ(SocketCodeFromErrno(ENOEXEC), 10000 + ENOEXEC);
  EXPECT_EQ(SocketErrorText(10000 + ENOEXEC), "[" + std::to_string(10000 + ENOEXEC) + "] (no description available)");
}

TEST(SocketErrorsTest, ResolverFailures) {
  EXPECT_EQ(SocketCodeFromResolver(EAI_NONAME, 0), 11001);
  EXPECT_EQ(SocketCodeFromResolver(EAI_AGAIN, 0), 11002);
  EXPECT_EQ(SocketCodeFromResolver(EAI_FAIL, 0), 11003);
  EXPECT_EQ(SocketCodeFromResolver(EAI_NODATA, 0), 11004);
  EXPECT_EQ(SocketCodeFromResolver(EAI_SYSTEM, ECONNREFUSED), 10061);
}

// The parsers and the resolver read a name up to its first NUL: a name holding one is no host's,
// never the address before the NUL.
TEST(ResolveHostTest, ANameHoldingANulIsNoHost) {
  for (const int family : {AF_INET, AF_INET6}) {
    for (const std::string& name : {std::string("127.0.0.1\0.evil", 15), std::string("::1\0x", 5),
                                    std::string("localhost\0", 10)}) {
      const HostLookup lookup = ResolveHost(name, family);
      EXPECT_FALSE(lookup.address.has_value()) << name.c_str() << " " << family;
      EXPECT_EQ(lookup.error.code, 11001) << name.c_str() << " " << family;
    }
  }
  EXPECT_TRUE(ResolveHost("127.0.0.1", AF_INET).address.has_value()) << "the name without it is one";
}

TEST(SocketErrorsTest, TextsAsReported) {
  EXPECT_EQ(SocketErrorText(10061), "[10061] Connection refused");
  EXPECT_EQ(SocketErrorText(10054), "[10054] Connection reset by peer");
  EXPECT_EQ(SocketErrorText(10066), "[10066] Directory not empt");
  EXPECT_EQ(SocketErrorText(11002), "[11002] Non-authoritative 'Host not found' (try again or check DNS setup)");
  EXPECT_EQ(SocketErrorText(10093), "[10093] Winsock not loaded yet (WSANOTINITIALISED)");
  EXPECT_EQ(SocketErrorText(12345), "[12345] (no description available)");
}

}  // namespace
}  // namespace vorlane::tcpclient
