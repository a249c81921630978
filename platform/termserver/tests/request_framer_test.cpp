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

// Bytes as they arrive: each chunk at its time after kT0.
struct Chunk {
  std::chrono::milliseconds at;
  std::string bytes;
};

// Feeds the chunks as a session does: whatever the quiet rule completes before the next chunk
// arrives (or before `end`) is taken at its deadline.
Strings Replay(const std::vector<Chunk>& chunks, std::chrono::milliseconds end,
               size_t maxRequest = kMaxRequestBytes) {
  RequestFramer framer(maxRequest);
  Strings out;
  auto takeQuietUntil = [&](RequestFramer::Clock::time_point until) {
    auto deadline = framer.Deadline();
    if (!deadline || *deadline > until) return;
    if (auto request = framer.Poll(*deadline)) out.push_back(std::move(*request));
  };
  for (const Chunk& chunk : chunks) {
    takeQuietUntil(kT0 + chunk.at);
    for (std::string& request : framer.Feed(chunk.bytes, kT0 + chunk.at)) out.push_back(std::move(request));
  }
  takeQuietUntil(kT0 + end);
  return out;
}

TEST(RequestFramer, QuietRuleEndsRequestsOnlyUntilALineEndHasEndedOne) {
  struct Case {
    const char* name;
    std::vector<Chunk> chunks;
    size_t maxRequest;
    Strings expected;
  };
  const Case cases[] = {
      {"pause after a hash inside a line-ended client's record",
       {{0ms, "#keycount=1#requestaction=agentinfo#\r\n#keycount=1#"}, {250ms, "requestaction=agentinfo#\r\n"}},
       kMaxRequestBytes,
       {"#keycount=1#requestaction=agentinfo#", "#keycount=1#requestaction=agentinfo#"}},
      {"pause before the line end",
       {{0ms, "#a=1#\n#b=2#"}, {500ms, "\r\n"}},
       kMaxRequestBytes,
       {"#a=1#", "#b=2#"}},
      {"several pauses in one record",
       {{0ms, "#a=1#\r"}, {10ms, "#b=2#"}, {200ms, "c=3#"}, {400ms, "d=4#"}, {600ms, "\r\n"}},
       kMaxRequestBytes,
       {"#a=1#", "#b=2#c=3#d=4#"}},
      {"client that never ends a line",
       {{0ms, "#a=1#"}, {200ms, "#b=2#"}, {250ms, "c=3#"}},
       kMaxRequestBytes,
       {"#a=1#", "#b=2#c=3#"}},
      {"a bare line end ends no request and leaves the quiet rule on",
       {{0ms, "\n\r\n#a=1#"}, {200ms, "#b=2#"}},
       kMaxRequestBytes,
       {"#a=1#", "#b=2#"}},
      {"a line end right after a quiet-ended request is its own, come late",
       {{0ms, "#a=1#"}, {150ms, "\r\n"}, {160ms, "#b=2#"}, {400ms, "c=3#\r\n"}},
       kMaxRequestBytes,
       {"#a=1#", "#b=2#c=3#"}},
      {"the line end of a cut line counts",
       {{0ms, "0123456789#\r\n#a#"}, {200ms, "b#\n"}},
       8,
       {"01234567", "#a#b#"}},
      {"the length limit still cuts a line-ended client's record",
       {{0ms, "#a#\n#b#"}, {200ms, "0123456789\n"}},
       8,
       {"#a#", "#b#01234"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Replay(c.chunks, 2s, c.maxRequest), c.expected);
  }
}

TEST(RequestFramer, LineEndedClientSplitAtEveryByteAfterItsFirstRecord) {
  const std::string first = "#keycount=1#requestaction=agentinfo#";
  const std::string second = "#keycount=2#sessionid=7#requestaction=agentinfo#";
  const std::string stream = first + "\r\n" + second + "\r\n";
  // From the end of the first record on, a pause anywhere, however long, splits nothing.
  for (size_t split = first.size(); split <= stream.size(); ++split) {
    SCOPED_TRACE("split at " + std::to_string(split));
    EXPECT_EQ(Replay({{0ms, stream.substr(0, split)}, {1s, stream.substr(split)}}, 3s), (Strings{first, second}));
  }
}

TEST(RequestFramer, HashEndedClientSplitAtEveryByteWithinTheQuietTime) {
  const std::string stream = "#keycount=1#requestaction=agentinfo#";
  for (size_t split = 0; split <= stream.size(); ++split) {
    SCOPED_TRACE("split at " + std::to_string(split));
    EXPECT_EQ(Replay({{0ms, stream.substr(0, split)}, {60ms, stream.substr(split)}, {300ms, "#b=2#"}}, 1s),
              (Strings{stream, "#b=2#"}));
  }
}

TEST(RequestFramer, NoQuietDeadlineOnceLinesEndRequestsUntilInputEnds) {
  RequestFramer framer;
  EXPECT_EQ(framer.Feed("#a=1#\r\n#b=2#", kT0), (Strings{"#a=1#"}));
  EXPECT_FALSE(framer.Deadline()) << "only a line end can end #b=2# now";
  EXPECT_FALSE(framer.Poll(kT0 + 10s));
  // With the input at its end no line end can come: the quiet rule takes the last request.
  framer.EndOfInput();
  ASSERT_TRUE(framer.Deadline());
  EXPECT_EQ(*framer.Deadline(), kT0 + 100ms);
  EXPECT_EQ(framer.Poll(kT0 + 10s), "#b=2#");
  EXPECT_FALSE(framer.Deadline());
}

}  // namespace
}  // namespace vorlane::termserver
