#include "platform/termserver/request_framer.h"

#include <gtest/gtest.h>

#include <optional>

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

// A record of a client without line ends ends at once when it is whole, after 100 ms when only
// its keycount asks for more pairs, after 1 s while it lacks its requestaction or sessionid.
TEST(RequestFramer, HashEndedRequestEndsByWhatItHolds) {
  struct Case {
    const char* record;
    std::optional<std::chrono::milliseconds> quiet;  // nothing: ended at once
  };
  const Case cases[] = {
      {"#keycount=2#requestaction=agentinfo#sessionid=7#", std::nullopt},
      {"#requestaction=agentinfo#sessionid=7#", std::nullopt},
      {"#keycount=x#sessionid=7#requestaction=agentinfo#", std::nullopt},
      {"#keycount=3#requestaction=runcheck#sessionid=7#", 100ms},
      {"#keycount=1#requestaction=agentinfo#", 1s},
      {"#keycount=1#sessionid=7#", 1s},
      {"#a=1#", 1s},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    RequestFramer framer;
    Strings out = framer.Feed(c.record, kT0);
    if (!c.quiet) {
      EXPECT_EQ(out, (Strings{c.record}));
      EXPECT_FALSE(framer.Deadline());
      continue;
    }
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(framer.Deadline(), kT0 + *c.quiet);
    EXPECT_FALSE(framer.Poll(kT0 + *c.quiet - 1ms));
    EXPECT_EQ(framer.Poll(kT0 + *c.quiet), c.record);
    EXPECT_FALSE(framer.Deadline());
  }
}

TEST(RequestFramer, MoreBytesRestartTheQuietTime) {
  RequestFramer framer;
  framer.Feed("#keycount=4#requestaction=runcheck#sessionid=7#", kT0);
  framer.Feed("checkid=DC#", kT0 + 90ms);
  EXPECT_FALSE(framer.Poll(kT0 + 150ms));
  EXPECT_EQ(framer.Poll(kT0 + 190ms), "#keycount=4#requestaction=runcheck#sessionid=7#checkid=DC#");
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

TEST(RequestFramer, RequestsAsClientsWriteThem) {
  const std::string info = "#keycount=2#requestaction=agentinfo#sessionid=7#";
  const std::string check = "#keycount=4#requestaction=runcheck#sessionid=7#checkid=DC#Drive letter=/#";
  const std::string logout = "#keycount=2#requestaction=logout#sessionid=7#";
  struct Case {
    const char* name;
    std::vector<Chunk> chunks;
    size_t maxRequest;
    Strings expected;
  };
  const Case cases[] = {
      {"bare records in one write", {{0ms, info + check + logout}}, kMaxRequestBytes, {info, check, logout}},
      {"bare, then line-ended records",
       {{0ms, info}, {10ms, check + "\r\n"}, {20ms, logout + "\r\n"}},
       kMaxRequestBytes,
       {info, check, logout}},
      {"line-ended, then bare records",
       {{0ms, info + "\r\n"}, {10ms, check}, {20ms, logout}},
       kMaxRequestBytes,
       {info, check, logout}},
      {"a line-ended client's bare record is not held for ever",
       {{0ms, info + "\r\n"}, {10ms, logout}},
       kMaxRequestBytes,
       {info, logout}},
      {"a record without keycount begins at its requestaction",
       {{0ms, "#requestaction=agentinfo#sessionid=7##requestaction=logout#sessionid=7#\n"}},
       kMaxRequestBytes,
       {"#requestaction=agentinfo#sessionid=7#", "#requestaction=logout#sessionid=7#"}},
      {"a record paused before its pairs, as a connection's first",
       {{0ms, "#keycount=2#"}, {300ms, "requestaction=agentinfo#"}, {600ms, "sessionid=7#"}, {650ms, logout}},
       kMaxRequestBytes,
       {info, logout}},
      {"paused before its pairs, then a line end",
       {{0ms, "#keycount=2#requestaction=agentinfo#"}, {300ms, "sessionid=7#\r\n"}},
       kMaxRequestBytes,
       {info}},
      {"keycount asks for the pairs still to come",
       {{0ms, check.substr(0, 47)}, {50ms, check.substr(47)}, {60ms, info}},
       kMaxRequestBytes,
       {check, info}},
      {"pause after a hash inside a line-ended client's record",
       {{0ms, info + "\r\n" + check.substr(0, 47)}, {300ms, check.substr(47) + "\r\n"}},
       kMaxRequestBytes,
       {info, check}},
      {"pause before the line end", {{0ms, "#a=1#\n#b=2#"}, {5s, "\r\n"}}, kMaxRequestBytes, {"#a=1#", "#b=2#"}},
      {"a bare line end ends no request and leaves the quiet rule on",
       {{0ms, "\n\r\n" + info}, {200ms, logout}},
       kMaxRequestBytes,
       {info, logout}},
      {"a line end right after a bare request is its own, come late",
       {{0ms, info}, {150ms, "\r\n"}, {160ms, "#b=2#"}, {400ms, "c=3#\r\n"}},
       kMaxRequestBytes,
       {info, "#b=2#c=3#"}},
      {"the line end of a cut line counts",
       {{0ms, "0123456789#\r\n#a#"}, {200ms, "b#\n"}},
       8,
       {"01234567", "#a#b#"}},
      {"the length limit still cuts a line-ended client's record",
       {{0ms, "#a#\n#b#"}, {200ms, "0123456789\n"}},
       8,
       {"#a#", "#b#01234"}},
      {"a bare client's cut record ends at the next record",
       {{0ms, "#keycount=1#sessionid=" + std::string(50, '7') + "##requestaction=logout#sessionid=7#"}},
       40,
       {("#keycount=1#sessionid=" + std::string(50, '7')).substr(0, 40), "#requestaction=logout#sessionid=7#"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Replay(c.chunks, 10s, c.maxRequest), c.expected);
  }
}

TEST(RequestFramer, LineEndedClientSplitAtEveryByteAfterItsFirstRecord) {
  const std::string first = "#keycount=1#requestaction=agentinfo#";
  const std::string second = "#keycount=2#sessionid=7#requestaction=agentinfo#";
  const std::string stream = first + "\r\n" + second + "\r\n";
  // From the end of the first record on, a pause anywhere splits nothing.
  for (size_t split = first.size(); split <= stream.size(); ++split) {
    SCOPED_TRACE("split at " + std::to_string(split));
    EXPECT_EQ(Replay({{0ms, stream.substr(0, split)}, {500ms, stream.substr(split)}}, 3s), (Strings{first, second}));
  }
}

TEST(RequestFramer, FirstRecordSplitAtEveryBytePausedBeforeItIsWhole) {
  const std::string stream = "#keycount=2#requestaction=agentinfo#sessionid=7#";
  for (size_t split = 0; split < stream.size(); ++split) {
    SCOPED_TRACE("split at " + std::to_string(split));
    EXPECT_EQ(Replay({{0ms, stream.substr(0, split)}, {300ms, stream.substr(split)}, {310ms, "#b=2#"}}, 3s),
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
  EXPECT_EQ(*framer.Deadline(), kT0 + 1s);
  EXPECT_EQ(framer.Poll(kT0 + 10s), "#b=2#");
  EXPECT_FALSE(framer.Deadline());
}

}  // namespace
}  // namespace vorlane::termserver
