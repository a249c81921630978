#include "platform/termserver/request_framer.h"

#include <gtest/gtest.h>

namespace vorlane::termserver {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;
const RequestFramer::Clock::time_point kT0{};

TEST(RequestFramer, EachLineEndEndsOneRequest) {
  RequestFramer framer;
  EXPECT_EQ(framer.Feed("#a=1#\r\n#b=2#\n#c=3#\r#d=4#", kT0), (Strings{"#a=1#", "#b=2#", "#c=3#"}));
  EXPECT_EQ(framer.Feed("\r\n", kT0), (Strings{"#d=4#"}));
}

TEST(RequestFramer, CrLfSplitAcrossReadsCountsOnce) {
  RequestFramer framer;
  EXPECT_EQ(framer.Feed("one\r", kT0), (Strings{"one"}));
  EXPECT_EQ(framer.Feed("\ntwo\n", kT0), (Strings{"two"}));
  // Empty lines are no requests.
  EXPECT_EQ(framer.Feed("\n\n\r\n", kT0), Strings{});
}

TEST(RequestFramer, HashEndedRequestCompletesAfterQuietTime) {
  RequestFramer framer;
  EXPECT_TRUE(framer.Feed("#keycount=1#requestaction=agentinfo#", kT0).empty());
  ASSERT_TRUE(framer.Deadline());
  EXPECT_EQ(*framer.Deadline(), kT0 + 100ms);
  EXPECT_FALSE(framer.Poll(kT0 + 99ms));
  EXPECT_EQ(framer.Poll(kT0 + 100ms), "#keycount=1#requestaction=agentinfo#");
  EXPECT_FALSE(framer.Poll(kT0 + 200ms));
  EXPECT_FALSE(framer.Deadline());
}

TEST(RequestFramer, MoreBytesRestartTheQuietTime) {
  RequestFramer framer;
  framer.Feed("#a=1#", kT0);
  framer.Feed("b=2#", kT0 + 90ms);
  EXPECT_FALSE(framer.Poll(kT0 + 150ms));
  EXPECT_EQ(framer.Poll(kT0 + 190ms), "#a=1#b=2#");
}

TEST(RequestFramer, TextNotEndingInHashWaitsForALineEnd) {
  RequestFramer framer;
  framer.Feed("#a=1", kT0);
  EXPECT_FALSE(framer.Deadline());
  EXPECT_FALSE(framer.Poll(kT0 + 10s));
  EXPECT_EQ(framer.Feed("#\n", kT0 + 10s), (Strings{"#a=1#"}));
}

TEST(RequestFramer, OverlongLineIsCutAndTheRestDropped) {
  RequestFramer framer(8);
  Strings out = framer.Feed("0123456789ABCDEF#", kT0);
  EXPECT_EQ(out, (Strings{"01234567"}));
  EXPECT_TRUE(framer.TakeTruncated());
  EXPECT_FALSE(framer.TakeTruncated());
  EXPECT_FALSE(framer.Poll(kT0 + 1s)) << "the dropped rest never completes";
  EXPECT_EQ(framer.Feed("tail\nnext\n", kT0), (Strings{"next"}));
}

TEST(RequestFramer, SixtyFourKilobyteLimitByDefault) {
  RequestFramer framer;
  std::string big(70000, 'x');
  Strings out = framer.Feed(big + "\n", kT0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].size(), 64u * 1024);
}

}  // namespace
}  // namespace vorlane::termserver
