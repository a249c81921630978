#include "platform/termserver/telnet_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "platform/termserver/limits.h"
#include "testing/telnet_client.h"

namespace vorlane::termserver {
namespace {

constexpr auto& Cmd = testkit::TelnetCommand;  // IAC verb option
using namespace telnet;
using namespace std::string_literals;

std::string Iac(uint8_t command) { return {static_cast<char>(kIac), static_cast<char>(command)}; }
const std::string kFF(1, '\xff');

TelnetOutput FeedBytewise(TelnetParser& parser, std::string_view bytes) {
  TelnetOutput all;
  for (char c : bytes) {
    TelnetOutput out = parser.Feed(std::string_view(&c, 1));
    all.data += out.data;
    all.reply += out.reply;
  }
  return all;
}

// --- Data and commands

TEST(TelnetParserData, DoubledIacIsOneDataByte) {
  TelnetParser parser;
  TelnetOutput out = FeedBytewise(parser, "a" + kFF + kFF + "b" + kFF + kFF + kFF + kFF);
  EXPECT_EQ(out.data, "a\xff" "b\xff\xff");
  EXPECT_TRUE(out.reply.empty());
}

TEST(TelnetParserData, CommandsAreRemovedAndIgnored) {
  TelnetParser parser;
  std::string in = "x" + Iac(kNop) + Iac(kAreYouThere) + "y" + Iac(kInterrupt) + Iac(kAbortOutput) +
                   Iac(kGoAhead) + Iac(kEraseChar) + Iac(kSe) + Iac(kDataMark) + Iac(7) + "z";
  TelnetOutput out = FeedBytewise(parser, in);
  EXPECT_EQ(out.data, "xyz");
  EXPECT_TRUE(out.reply.empty());
}

TEST(TelnetParserData, CrNulIsCrAndLineEndsPassThrough) {
  TelnetParser parser;
  EXPECT_EQ(FeedBytewise(parser, std::string("a\r\0b\r\nc\0d\r", 10)).data,
            std::string("a\rb\r\nc\0d\r", 9));
  // The NUL after a CR is padding even when it comes in the next chunk.
  EXPECT_EQ(parser.Feed(std::string(1, '\0')).data, "");
}

TEST(TelnetParserData, EverySplitGivesTheSameResult) {
  const std::string in = "ab" + Cmd(kWill, 99) + "c" + kFF + kFF + "d" + Iac(kSb) + "\x18\x01xy" +
                         Iac(kSe) + "e" + Cmd(kDo, kOptionSuppressGoAhead) + std::string("f\r\0g", 4) +
                         Iac(kNop) + Cmd(kDo, 42) + "h";
  TelnetParser whole;
  const TelnetOutput expected = whole.Feed(in);
  EXPECT_EQ(expected.data, "abc\xff" "def\rgh");
  EXPECT_EQ(expected.reply, Cmd(kDont, 99) + Cmd(kWill, kOptionSuppressGoAhead) + Cmd(kWont, 42));
  for (size_t split = 0; split <= in.size(); ++split) {
    TelnetParser parser;
    TelnetOutput a = parser.Feed(std::string_view(in).substr(0, split));
    TelnetOutput b = parser.Feed(std::string_view(in).substr(split));
    EXPECT_EQ(a.data + b.data, expected.data) << "split at " << split;
    EXPECT_EQ(a.reply + b.reply, expected.reply) << "split at " << split;
  }
  TelnetParser bytewise;
  TelnetOutput out = FeedBytewise(bytewise, in);
  EXPECT_EQ(out.data, expected.data);
  EXPECT_EQ(out.reply, expected.reply);
}

// --- Option negotiation

TEST(TelnetParserOptions, UnknownOptionsAreRefusedOnce) {
  TelnetParser parser;
  EXPECT_EQ(FeedBytewise(parser, Cmd(kWill, 31)).reply, Cmd(kDont, 31));
  EXPECT_EQ(FeedBytewise(parser, Cmd(kDo, 31)).reply, Cmd(kWont, 31));
  EXPECT_EQ(FeedBytewise(parser, Cmd(kWill, 31) + Cmd(kDo, 31)).reply, "") << "asked again";
  EXPECT_EQ(FeedBytewise(parser, Cmd(kWont, 31) + Cmd(kDont, 31)).reply, "") << "already off";
  EXPECT_FALSE(parser.LocalEnabled(31));
  EXPECT_FALSE(parser.RemoteEnabled(31));
  EXPECT_EQ(FeedBytewise(parser, Cmd(kWill, kOptionNewEnviron)).reply, Cmd(kDont, kOptionNewEnviron));
  EXPECT_EQ(FeedBytewise(parser, Cmd(kWill, kOptionEcho)).reply, Cmd(kDont, kOptionEcho));
}

TEST(TelnetParserOptions, SuppressGoAheadOfferedAndAccepted) {
  TelnetParser parser;
  EXPECT_EQ(parser.EnableLocal(kOptionSuppressGoAhead), Cmd(kWill, kOptionSuppressGoAhead));
  EXPECT_EQ(parser.EnableLocal(kOptionSuppressGoAhead), "") << "already asked";
  EXPECT_EQ(FeedBytewise(parser, Cmd(kDo, kOptionSuppressGoAhead)).reply, "") << "an answer, not a request";
  EXPECT_TRUE(parser.LocalEnabled(kOptionSuppressGoAhead));
  EXPECT_EQ(FeedBytewise(parser, Cmd(kDo, kOptionSuppressGoAhead)).reply, "");

  TelnetParser unasked;
  EXPECT_EQ(FeedBytewise(unasked, Cmd(kDo, kOptionSuppressGoAhead)).reply, Cmd(kWill, kOptionSuppressGoAhead));
  EXPECT_TRUE(unasked.LocalEnabled(kOptionSuppressGoAhead));
  EXPECT_EQ(FeedBytewise(unasked, Cmd(kWill, kOptionSuppressGoAhead)).reply, Cmd(kDo, kOptionSuppressGoAhead));
  EXPECT_TRUE(unasked.RemoteEnabled(kOptionSuppressGoAhead));
}

TEST(TelnetParserOptions, EchoOnlyWhileAskedFor) {
  TelnetParser parser;
  EXPECT_EQ(FeedBytewise(parser, Cmd(kDo, kOptionEcho)).reply, Cmd(kWont, kOptionEcho)) << "not now";
  EXPECT_EQ(parser.EnableLocal(kOptionEcho), Cmd(kWill, kOptionEcho));
  EXPECT_EQ(FeedBytewise(parser, Cmd(kDo, kOptionEcho)).reply, "");
  EXPECT_TRUE(parser.LocalEnabled(kOptionEcho));
  EXPECT_EQ(parser.DisableLocal(kOptionEcho), Cmd(kWont, kOptionEcho));
  EXPECT_EQ(FeedBytewise(parser, Cmd(kDont, kOptionEcho)).reply, "");
  EXPECT_FALSE(parser.LocalEnabled(kOptionEcho));
  EXPECT_EQ(FeedBytewise(parser, Cmd(kDo, kOptionEcho)).reply, Cmd(kWont, kOptionEcho));

  // The client may turn echo off while we read the password: granted, confirmed once.
  TelnetParser refusing;
  refusing.EnableLocal(kOptionEcho);
  EXPECT_EQ(FeedBytewise(refusing, Cmd(kDo, kOptionEcho) + Cmd(kDont, kOptionEcho)).reply,
            Cmd(kWont, kOptionEcho));
  EXPECT_EQ(refusing.DisableLocal(kOptionEcho), "") << "already off";
}

TEST(TelnetParserOptions, ChangeOfMindWhileWaitingIsQueuedNotRepeated) {
  TelnetParser parser;
  EXPECT_EQ(parser.EnableLocal(kOptionEcho), Cmd(kWill, kOptionEcho));
  EXPECT_EQ(parser.DisableLocal(kOptionEcho), "") << "waits for the answer first";
  EXPECT_EQ(FeedBytewise(parser, Cmd(kDo, kOptionEcho)).reply, Cmd(kWont, kOptionEcho));
  EXPECT_EQ(FeedBytewise(parser, Cmd(kDont, kOptionEcho)).reply, "");
  EXPECT_FALSE(parser.LocalEnabled(kOptionEcho));
}

// --- Subnegotiation

TEST(TelnetParserSubnegotiation, LongOneIsDroppedWithBoundedMemory) {
  TelnetParser parser;
  std::string body(10 * 1024, 'v');
  body[77] = '\xff';
  body.insert(78, kFF);  // a doubled IAC inside stays inside
  TelnetOutput out = FeedBytewise(parser, "before" + Iac(kSb) + "\x18" + body + Iac(kSe) + "after");
  EXPECT_EQ(out.data, "beforeafter");
  EXPECT_EQ(parser.SubnegotiationsDropped(), 1u);
  EXPECT_LE(parser.SubnegotiationCapacity(), kMaxSubnegotiationBytes + 64);
}

TEST(TelnetParserSubnegotiation, EnvironmentNeverReachesTheData) {
  TelnetParser parser;
  // IS, VAR "USER" VALUE "root", USERVAR "x" VALUE "y"
  const std::string environ = Iac(kSb) + "\x27\x00\x00USER\x01root\x03x\x01y"s;
  TelnetOutput out = FeedBytewise(parser, "a" + environ + Iac(kSe) + "b\r\n");
  EXPECT_EQ(out.data, "ab\r\n");
  EXPECT_TRUE(out.reply.empty());
  EXPECT_EQ(parser.SubnegotiationsIgnored(), 1u);
  // Without SE the next command ends it, and still nothing leaks.
  out = parser.Feed(Iac(kSb) + "\x24USER=x" + Iac(kNop) + "c");
  EXPECT_EQ(out.data, "c");
}

// --- Robustness

TEST(TelnetParserFuzz, RandomBytesNeverAnsweredMoreThanAsked) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 10; ++round) {
    TelnetParser parser;
    std::string input;
    for (int i = 0; i < 10'000; ++i) {
      // Commands often, so that negotiation and subnegotiation are exercised too.
      const auto r = random() % 4;
      input += static_cast<char>(r == 0 ? kIac : r == 1 ? 240 + random() % 16 : random() % 256);
    }
    size_t replies = 0;
    for (size_t at = 0; at < input.size();) {
      const size_t chunk = std::min<size_t>(1 + random() % 300, input.size() - at);
      TelnetOutput out = parser.Feed(std::string_view(input).substr(at, chunk));
      at += chunk;
      ASSERT_EQ(out.reply.size() % 3, 0u);
      for (size_t i = 0; i < out.reply.size(); i += 3) ASSERT_EQ(static_cast<uint8_t>(out.reply[i]), kIac);
      replies += out.reply.size() / 3;
    }
    EXPECT_LE(replies, parser.RequestsReceived());
    EXPECT_LE(replies, static_cast<size_t>(std::count(input.begin(), input.end(), '\xff')));
    EXPECT_LE(parser.SubnegotiationCapacity(), kMaxSubnegotiationBytes + 64);
  }
}

TEST(TelnetParserEscape, IacIsDoubledOnTheWayOut) {
  EXPECT_EQ(EscapeOutgoing("plain\r\n"), "plain\r\n");
  EXPECT_EQ(EscapeOutgoing("a\xff" "b\xff"), "a\xff\xff" "b\xff\xff");
  TelnetParser parser;
  const std::string text = "x\xff\xfe\xff\xfb\x01y";
  EXPECT_EQ(parser.Feed(EscapeOutgoing(text)).data, text) << "a peer reads back exactly the text";
}

}  // namespace
}  // namespace vorlane::termserver
