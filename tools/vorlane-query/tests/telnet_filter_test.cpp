#include "tools/vorlane-query/telnet_filter.h"

#include <gtest/gtest.h>

namespace vorlane::query {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

TEST(QueryTelnetFilter, EchoAndSuppressGoAheadAreAcceptedOnce) {
  TelnetFilter filter;
  TelnetFilter::Output out = filter.Feed(Bytes({255, 251, 3, 'l', 255, 251, 1}) + "ogin: ");
  EXPECT_EQ(out.data, "login: ");
  EXPECT_EQ(out.reply, Bytes({255, 253, 3, 255, 253, 1}));
  EXPECT_EQ(filter.Feed(Bytes({255, 251, 1})).reply, "") << "already agreed";
  EXPECT_EQ(filter.Feed(Bytes({255, 252, 1})).reply, Bytes({255, 254, 1}));
  EXPECT_EQ(filter.Feed(Bytes({255, 252, 1})).reply, "") << "already off";
}

TEST(QueryTelnetFilter, EverythingElseIsRefused) {
  TelnetFilter filter;
  EXPECT_EQ(filter.Feed(Bytes({255, 251, 24})).reply, Bytes({255, 254, 24}));
  EXPECT_EQ(filter.Feed(Bytes({255, 253, 1, 255, 253, 31})).reply, Bytes({255, 252, 1, 255, 252, 31}));
  EXPECT_EQ(filter.Feed(Bytes({255, 254, 3})).reply, "");
}

TEST(QueryTelnetFilter, CommandsAreStrippedAcrossChunksAndDoubledIacIsData) {
  TelnetFilter filter;
  std::string data;
  std::string reply;
  for (char c : Bytes({'a', 255, 255, 'b', 255, 250, 24, 1, 255, 240, 'c', 255, 241, 'd', 255, 251, 3})) {
    TelnetFilter::Output out = filter.Feed(std::string(1, c));
    data += out.data;
    reply += out.reply;
  }
  EXPECT_EQ(data, Bytes({'a', 255, 'b', 'c', 'd'}));
  EXPECT_EQ(reply, Bytes({255, 253, 3}));
}

}  // namespace
}  // namespace vorlane::query
