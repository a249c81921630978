#include "platform/net/socket_errors.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>
#include <string>

namespace vorlane::net {
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

TEST(SocketErrorsTest, TextsAsReported) {
  EXPECT_EQ(SocketErrorText(10061), "[10061] Connection refused");
  EXPECT_EQ(SocketErrorText(10054), "[10054] Connection reset by peer");
  EXPECT_EQ(SocketErrorText(10066), "[10066] Directory not empt");
  EXPECT_EQ(SocketErrorText(11002), "[11002] Non-authoritative 'Host not found' (try again or check DNS setup)");
  EXPECT_EQ(SocketErrorText(10093), "[10093] Winsock not loaded yet (WSANOTINITIALISED)");
  EXPECT_EQ(SocketErrorText(12345), "[12345] (no description available)");
}

}  // namespace
}  // namespace vorlane::net
