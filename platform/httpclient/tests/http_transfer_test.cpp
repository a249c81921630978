#include "platform/httpclient/http_transfer.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>

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

TEST(FillText, FillsThePlacesInOrderAndOnlyTheTemplates) {
  EXPECT_EQ(FillText("written to \"%s\": %s", {"/tmp/a%s", "No space"}), "written to \"/tmp/a%s\": No space");
  EXPECT_EQ(FillText("limit of %d bytes", {"16777216"}), "limit of 16777216 bytes");
  EXPECT_EQ(FillText("%s and %s", {"one"}), "one and %s");
  EXPECT_EQ(FillText("no place", {"x"}), "no place");
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

// libcurl reads its texts up to the first NUL: a URL, user or proxy holding one is refused, never
// fetched as the part before it. (Port 1 refuses connections: a cut URL would end with code 7.)
TEST(PerformTransfer, TextsHoldingANulAreRefusedNotCut) {
  const std::string url = "http://127.0.0.1:1/page";
  const struct {
    TransferRequest request;
    CURLcode code;
  } cases[] = {
      {{.url = url + std::string("\0.evil", 6)}, CURLE_URL_MALFORMAT},
      {{.url = url, .user = std::string("top\0x", 5), .password = "pw"}, CURLE_BAD_FUNCTION_ARGUMENT},
      {{.url = url, .proxyType = kProxyWebStandard, .proxyHost = std::string("127.0.0.1\0x", 11)},
       CURLE_BAD_FUNCTION_ARGUMENT},
  };
  for (const auto& c : cases) {
    const TransferResult result = PerformTransfer(c.request);
    EXPECT_EQ(result.code, c.code);
    EXPECT_EQ(result.text, curl_easy_strerror(c.code));
  }
}

}  // namespace
}  // namespace vorlane::httpclient
