// The line splitter byte for byte: each case is pushed whole and also split at every position,
// since a receive may end anywhere.
#include "tcpclient/line_splitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorlane::tcpclient {
namespace {

using Mode = LineSplitter::Mode;

struct SplitCase {
  const char* name;
  Mode mode;
  std::string delimiter;
  size_t capacity;
  std::string input;
  std::vector<LinePiece> expected;  // for the input pushed in pieces that are lines (not raw)
  std::string rest;
};

std::vector<LinePiece> PushAll(LineSplitter& splitter, const std::vector<std::string>& chunks) {
  std::vector<LinePiece> out;
  for (const std::string& chunk : chunks) {
    for (LinePiece& piece : splitter.Push(chunk)) out.push_back(std::move(piece));
  }
  return out;
}

const SplitCase kLineCases[] = {
    {"CrLfKeepsTheUnfinishedLine", Mode::kDelimiter, "\r\n", 2048, "ab\r\ncd", {{"ab", true}}, "cd"},
    {"DelimiterOfOneByte", Mode::kDelimiter, "|", 2048, "a|b||c", {{"a", true}, {"b", true}, {"", true}}, "c"},
    {"LongDelimiter", Mode::kDelimiter, "END", 2048, "xENyEND", {{"xENy", true}}, ""},
    {"FullBufferWithoutDelimiter", Mode::kDelimiter, "\n", 4, "abcdefg\n", {{"abcd", false}, {"efg", true}}, ""},
    {"AnyLineEnd", Mode::kAnyLineEnd, "", 2048, "a\rb\nc\r\n", {{"a", true}, {"b", true}, {"c", true}}, ""},
    {"LfCrIsOneLineEnd", Mode::kAnyLineEnd, "", 2048, "a\n\rb\r\n", {{"a", true}, {"b", true}}, ""},
    {"TwoCrAreTwoLineEnds", Mode::kAnyLineEnd, "", 2048, "a\r\rb\n", {{"a", true}, {"", true}, {"b", true}}, ""},
    {"CrLfCrLfIsAnEmptyLine", Mode::kAnyLineEnd, "", 2048, "a\r\n\r\n", {{"a", true}, {"", true}}, ""},
    {"AnyLineEndFullBuffer", Mode::kAnyLineEnd, "", 3, "abcd\n", {{"abc", false}, {"d", true}}, ""},
};

TEST(LineSplitterTest, LinesWhateverTheReceivesLookLike) {
  for (const SplitCase& c : kLineCases) {
    for (size_t cut = 0; cut <= c.input.size(); ++cut) {
      LineSplitter splitter(c.mode, c.delimiter, c.capacity);
      const std::vector<LinePiece> pieces = PushAll(splitter, {c.input.substr(0, cut), c.input.substr(cut)});
      EXPECT_EQ(pieces, c.expected) << c.name << " cut at " << cut;
      EXPECT_EQ(splitter.TakeRest(), c.rest) << c.name << " cut at " << cut;
    }
    // And one byte at a time.
    LineSplitter splitter(c.mode, c.delimiter, c.capacity);
    std::vector<std::string> bytes;
    for (char ch : c.input) bytes.emplace_back(1, ch);
    EXPECT_EQ(PushAll(splitter, bytes), c.expected) << c.name << " byte by byte";
  }
}

TEST(LineSplitterTest, RawChunksAsTheyCome) {
  LineSplitter splitter(Mode::kRaw, "", 4);
  EXPECT_EQ(PushAll(splitter, {"ab\r\n", "c"}), (std::vector<LinePiece>{{"ab\r\n", false}, {"c", false}}));
  EXPECT_EQ(splitter.Push("abcdefghi"), (std::vector<LinePiece>{{"abcd", false}, {"efgh", false}, {"i", false}}));
  EXPECT_EQ(splitter.Held(), 0u);
  EXPECT_EQ(splitter.Room(), 4u);
}

TEST(LineSplitterTest, RoomShrinksWithWhatIsHeld) {
  LineSplitter splitter(Mode::kDelimiter, "\n", 5);
  EXPECT_EQ(splitter.Room(), 5u);
  EXPECT_TRUE(splitter.Push("abc").empty());
  EXPECT_EQ(splitter.Room(), 2u);
  EXPECT_EQ(splitter.Push("\n"), (std::vector<LinePiece>{{"abc", true}}));
  EXPECT_EQ(splitter.Room(), 5u);
}

TEST(LineSplitterTest, AnEmptyDelimiterMeansRawChunks) {
  LineSplitter splitter(Mode::kDelimiter, "", 16);
  EXPECT_EQ(splitter.Push("a\r\nb"), (std::vector<LinePiece>{{"a\r\nb", false}}));
}

}  // namespace
}  // namespace vorlane::tcpclient
