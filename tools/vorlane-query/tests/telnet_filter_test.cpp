#include "tools/vorlane-query/telnet_filter.h"

#include <gtest/gtest.h>

#include "platform/termserver/telnet_parser.h"
#include "testing/telnet_client.h"

namespace vorlane::query {
namespace {

using namespace termserver::telnet;
constexpr auto& Cmd = testkit::TelnetCommand;  // IAC verb option
const std::string kIacByte(1, static_cast<char>(kIac));

TEST(QueryTelnetFilter, EchoAndSuppressGoAheadAreAcceptedOnce) {
  TelnetFilter filter;
  TelnetFilter::Output out = filter.Feed(Cmd(kWill, kOptionSuppressGoAhead) + "l" + Cmd(kWill, kOptionEcho) + "ogin: ");
  EXPECT_EQ(out.data, "login: ");
  EXPECT_EQ(out.reply, Cmd(kDo, kOptionSuppressGoAhead) + Cmd(kDo, kOptionEcho));
  EXPECT_EQ(filter.Feed(Cmd(kWill, kOptionEcho)).reply, "") << "already agreed";
  EXPECT_EQ(filter.Feed(Cmd(kWont, kOptionEcho)).reply, Cmd(kDont, kOptionEcho));
  EXPECT_EQ(filter.Feed(Cmd(kWont, kOptionEcho)).reply, "") << "already off";
}

TEST(QueryTelnetFilter, EverythingElseIsRefused) {
  TelnetFilter filter;
  EXPECT_EQ(filter.Feed(Cmd(kWill, kOptionTerminalType)).reply, Cmd(kDont, kOptionTerminalType));
  EXPECT_EQ(filter.Feed(Cmd(kDo, kOptionEcho) + Cmd(kDo, 31)).reply, Cmd(kWont, kOptionEcho) + Cmd(kWont, 31));
  EXPECT_EQ(filter.Feed(Cmd(kDont, kOptionSuppressGoAhead)).reply, "");
}

TEST(QueryTelnetFilter, CommandsAreStrippedAcrossChunksAndDoubledIacIsData) {
  TelnetFilter filter;
  std::string data;
  std::string reply;
  const std::string input = "a" + kIacByte + kIacByte + "b" + kIacByte + static_cast<char>(kSb) + "\x18\x01" +
                            kIacByte + static_cast<char>(kSe) + "c" + kIacByte + static_cast<char>(kNop) + "d" +
                            Cmd(kWill, kOptionSuppressGoAhead);
  for (char c : input) {
    TelnetFilter::Output out = filter.Feed(std::string(1, c));
    data += out.data;
    reply += out.reply;
  }
  EXPECT_EQ(data, "a" + kIacByte + "bcd");
  EXPECT_EQ(reply, Cmd(kDo, kOptionSuppressGoAhead));
}

}  // namespace
}  // namespace vorlane::query
