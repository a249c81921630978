#include "cipher/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace vorlane::cipher {
namespace {

// Decodes into a buffer of dstSize plus four guard bytes, all pre-set to a marker, so that
// writes past the decoded bytes show up. `raw` is the whole buffer afterwards.
struct Decoded {
  int result;
  std::string raw;
  std::string Bytes() const { return raw.substr(0, result < 0 ? 0 : result); }
  bool UntouchedFrom(size_t pos) const { return raw.find_first_not_of('\xee', pos) == raw.npos; }
};

Decoded Decode(std::string_view text, size_t dstSize = 32) {
  std::string raw(dstSize + 4, '\xee');
  const int n = Base64Decode(text, reinterpret_cast<uint8_t*>(raw.data()), dstSize);
  return {n, raw};
}

TEST(Base64Decode, AcceptsWellFormedText) {
  EXPECT_EQ(Decode("YWJj").Bytes(), "abc");
  EXPECT_EQ(Decode("YWJj\r\n").Bytes(), "abc");
  EXPECT_EQ(Decode(" Y W\tJj\v\f").Bytes(), "abc");
  EXPECT_EQ(Decode("YWI=").Bytes(), "ab");
  EXPECT_EQ(Decode("YQ==").Bytes(), "a");
  EXPECT_EQ(Decode("YQ= =\n").Bytes(), "a");
  EXPECT_EQ(Decode("+/+/").Bytes(), "\xfb\xff\xbf");
  EXPECT_EQ(Decode("").result, 0);
  EXPECT_EQ(Decode(" \r\n").result, 0);
}

TEST(Base64Decode, RejectsMalformedText) {
  for (const char* text : {"YW=", "Y!Jj", "YQ==x", "YWI==", "YQ=", "Y===", "YWJj=", "=",
                           "YR==", "YWJ=", "YWJ", "YWJjZ", "YQ=\n=x", "YW-j"}) {
    EXPECT_EQ(Decode(text).result, -1) << '"' << text << '"';
  }
  EXPECT_EQ(Decode(std::string_view("YW\0j", 4)).result, -1);
  // Bytes above 0x7f are neither alphabet nor white space, whatever the locale says.
  for (const char* text : {"YW\x80Jj", "YW\xa0Jj", "YW\x85Jj", "YW\xffJj"}) {
    EXPECT_EQ(Decode(text).result, -1);
  }
}

TEST(Base64Decode, StoresOnlyDecodedBytesAndNothingBeyondDstSize) {
  const Decoded exact = Decode("YWJj", 3);
  EXPECT_EQ(exact.Bytes(), "abc");
  EXPECT_TRUE(exact.UntouchedFrom(3));
  EXPECT_TRUE(Decode("YWI=").UntouchedFrom(2));  // no terminator

  const Decoded tooSmall = Decode("YWJj", 2);
  EXPECT_EQ(tooSmall.result, -1);
  EXPECT_TRUE(tooSmall.UntouchedFrom(2));
  EXPECT_EQ(Decode("YQ==", 0).result, -1);
  EXPECT_EQ(Decode("", 0).result, 0);
}

TEST(Base64Encode, PadsAndTerminatesAndRefusesABufferOneByteShort) {
  const auto* abcd = reinterpret_cast<const uint8_t*>("abcd");
  char out[9] = "xxxxxxxx";
  EXPECT_EQ(Base64Encode(abcd, 4, out, 8), -1);
  EXPECT_STREQ(out, "xxxxxxxx");
  EXPECT_EQ(Base64Encode(abcd, 4, out, 9), 8);
  EXPECT_STREQ(out, "YWJjZA==");
  EXPECT_EQ(Base64Encode(abcd, 2, out, 5), 4);
  EXPECT_STREQ(out, "YWI=");
  EXPECT_EQ(Base64Encode(abcd, 0, out, 1), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(Base64Encode(abcd, 0, out, 0), -1);
}

TEST(Base64, RandomDataRoundTrips) {
  std::mt19937 rng(4648u);
  for (int round = 0; round < 500; ++round) {
    std::vector<uint8_t> data(rng() % 101);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    const std::string text = Base64EncodeToString(data);
    ASSERT_EQ(text.size(), (data.size() + 2) / 3 * 4);
    const auto decoded = Base64DecodeToString(text);
    ASSERT_TRUE(decoded.has_value()) << text;
    ASSERT_EQ(*decoded, std::string(data.begin(), data.end())) << text;
  }
}

}  // namespace
}  // namespace vorlane::cipher
