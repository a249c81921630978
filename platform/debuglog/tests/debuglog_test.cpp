#include "platform/debuglog/debuglog.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "testing/debug_capture.h"

namespace vorlane::debuglog {
namespace {

using CapturedOutput = testkit::DebugCapture;

// A text and the line it is written as.
struct Case {
  std::string_view text;
  std::string_view line;
};

TEST(DebugLog, OneLinePerCallWhateverTheLineEnd) {
  CapturedOutput out;
  Write("Server started!");
  Write("Protocol: SSH, port: 22. BindIP:  \n");
  Write("-- i -- Login allowed\r\n");
  EXPECT_EQ(out.Text(), "Server started!\nProtocol: SSH, port: 22. BindIP:  \n-- i -- Login allowed\n");
}

TEST(DebugLog, ControlCharactersInsideTheTextCannotStartANewLine) {
  EXPECT_EQ(ToLine("a\r\nfake line\x01z"), "a\\r\\nfake line\\x01z");
  EXPECT_EQ(ToLine(std::string_view("nul\0in", 6)), "nul\\x00in");
  EXPECT_EQ(ToLine("tab\tstays, utf-8 st\xc3\xa4ys"), "tab\tstays, utf-8 st\xc3\xa4ys");
}

TEST(DebugLog, UnicodeLineBreaksAreEscapedLikeTheOthers) {
  const Case cases[] = {
      {"a\xe2\x80\xa8" "fake line", "a\\u2028fake line"},
      {"a\xe2\x80\xa9" "fake paragraph", "a\\u2029fake paragraph"},
      {"\xe2\x80\xa8\xe2\x80\xa9\r\n" "x", "\\u2028\\u2029\\r\\nx"},
      {"ends with one\xe2\x80\xa8", "ends with one\\u2028"},
      {"next\xc2\x85line", "next\\u0085line"},
      // Other characters of the same lead bytes stay as they are; cut sequences are no text,
      // so their bytes are escaped.
      {"dash \xe2\x80\x94 and \xe2\x80\xaa", "dash \xe2\x80\x94 and \xe2\x80\xaa"},
      {"cut \xe2\x80", "cut \\xe2\\x80"},
      {"cut \xe2\x80\x0a" "after", "cut \\xe2\\x80\\nafter"},
  };
  for (const Case& c : cases) EXPECT_EQ(ToLine(c.text), c.line) << c.text;

  CapturedOutput out;
  Write("one\xe2\x80\xa8two\xe2\x80\xa9three");
  EXPECT_EQ(out.Text(), "one\\u2028two\\u2029three\n");
}

TEST(DebugLog, BytesThatAreNoUtf8AreWrittenAsEscapes) {
  const Case cases[] = {
      {"FileName=/tmp/caf\xe9", "FileName=/tmp/caf\\xe9"},  // Latin-1
      {"\x80\xbf\xfe\xff", "\\x80\\xbf\\xfe\\xff"},
      {"overlong \xc0\xaf and \xe0\x80\xaf", "overlong \\xc0\\xaf and \\xe0\\x80\\xaf"},
      {"surrogate \xed\xb0\x80", "surrogate \\xed\\xb0\\x80"},
      {"too high \xf4\x90\x80\x80", "too high \\xf4\\x90\\x80\\x80"},
      {"stray \xa9 after \xc3\xa9", "stray \\xa9 after \xc3\xa9"},
      {"\xe2\x80\xe2\x80\xa8", "\\xe2\\x80\\u2028"},  // a cut sequence, then a separator
      // Valid text of every length is written as it is.
      {"\xc2\x80 \xdf\xbf \xed\x9f\xbf \xef\xbf\xbd \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf",
       "\xc2\x80 \xdf\xbf \xed\x9f\xbf \xef\xbf\xbd \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf"},
  };
  for (const Case& c : cases) EXPECT_EQ(ToLine(c.text), c.line) << c.text;

  CapturedOutput out;
  Write("-- i -- rm /tmp/caf\xe9\r\n");
  EXPECT_EQ(out.Text(), "-- i -- rm /tmp/caf\\xe9\n");
}

TEST(DebugLog, LongLinesAreWrittenWhole) {
  CapturedOutput out;
  std::string big(1 << 20, 'x');
  Write(big);
  EXPECT_EQ(out.Text(), big + "\n");
}

TEST(DebugLog, LinesFromManyThreadsNeverInterleave) {
  CapturedOutput out;
  constexpr int kThreads = 8;
  constexpr int kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      std::string line(1000, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) Write(line);
    });
  }
  for (auto& thread : threads) thread.join();

  std::string text = out.Text();
  size_t lines = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    std::string_view line(text.data() + start, end - start);
    ASSERT_EQ(line.size(), 1000u);
    EXPECT_EQ(line.find_first_not_of(line[0]), std::string_view::npos);
    ++lines;
    start = end + 1;
  }
  EXPECT_EQ(lines, static_cast<size_t>(kThreads * kLines));
}

}  // namespace
}  // namespace vorlane::debuglog
