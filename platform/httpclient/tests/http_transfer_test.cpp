#include "platform/httpclient/http_transfer.h"

#include <gtest/gtest.h>

#include "platform/httpclient/httpclient.h"

namespace vorlane::httpclient {
namespace {

TEST(UrlScheme, NamesTheSchemeInLowerCaseOrNothing) {
  const struct {
    const char* url;
    const char* scheme;
  } cases[] = {
      {"http://example.org/", "http"},  {"HTTPS://example.org/", "https"}, {"ftp://example.org/", "ftp"},
      {"File:///etc/passwd", "file"},   {"example.org/a://b", ""},         {"://x", ""},
      {"127.0.0.1:8080/page", ""},      {"gopher+x://h/", "gopher+x"},     {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(UrlScheme(c.url), c.scheme) << c.url;
}

TEST(PerformTransfer, RefusesWhatIsNoHttpRequestBeforeConnecting) {
  const struct {
    TransferRequest request;
    int32_t code;
    const char* text;
  } cases[] = {
      {{.url = "ftp://127.0.0.1/x"}, kDoneUnsupportedScheme, "Only http and https URLs are fetched, not \"ftp\""},
      {{.url = "FILE:///etc/passwd"}, kDoneUnsupportedScheme, "Only http and https URLs are fetched, not \"file\""},
      {{.url = ""}, kDoneBadRequest, "No URL to fetch"},
      {{.url = "http://127.0.0.1/", .proxyType = kProxySocks5}, kDoneBadRequest, "The proxy type needs a proxy host"},
  };
  for (const auto& c : cases) {
    const TransferResult result = PerformTransfer(c.request);
    EXPECT_EQ(result.code, c.code) << c.request.url;
    EXPECT_EQ(result.text, c.text) << c.request.url;
    EXPECT_EQ(result.status, 0);
  }
}

}  // namespace
}  // namespace vorlane::httpclient
