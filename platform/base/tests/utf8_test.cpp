#include "platform/base/utf8.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace vorlane::utf8 {
namespace {

TEST(Utf8, DecodeAtTakesExactlyTheWellFormedSequences) {
  const struct {
    std::string_view text;
    size_t at;
    char32_t value;
    size_t length;
  } cases[] = {
      {"a", 0, U'a', 1},
      {std::string_view("\0", 1), 0, 0, 1},
      {"x\xC3\xA9", 1, 0xE9, 2},
      {"\xE2\x82\xAC", 0, 0x20AC, 3},
      {"\xF0\x9F\x98\x80", 0, 0x1F600, 4},
      {"\xF4\x8F\xBF\xBF", 0, 0x10FFFF, 4},
      {"\xED\x9F\xBF", 0, 0xD7FF, 3},
      {"\xC3\xA9", 1, 0, 0},          // a continuation byte starts nothing
      {"\xC3", 0, 0, 0},              // cut by the end
      {"\xE2\x82" "A", 0, 0, 0},      // cut by another byte
      {"\xC0\xAF", 0, 0, 0},          // overlong
      {"\xC1\xBF", 0, 0, 0},
      {"\xE0\x9F\xBF", 0, 0, 0},
      {"\xF0\x8F\xBF\xBF", 0, 0, 0},
      {"\xED\xA0\x80", 0, 0, 0},      // encoded surrogates
      {"\xED\xBF\xBF", 0, 0, 0},
      {"\xF4\x90\x80\x80", 0, 0, 0},  // above U+10FFFF
      {"\xF5\x80\x80\x80", 0, 0, 0},
      {"\xFF", 0, 0, 0},
  };
  for (const auto& c : cases) {
    const Sequence sequence = DecodeAt(c.text, c.at);
    EXPECT_EQ(sequence.length, c.length) << ::testing::PrintToString(std::string(c.text));
    if (c.length != 0) {
      EXPECT_EQ(sequence.value, c.value) << ::testing::PrintToString(std::string(c.text));
    }
  }
}

// The reference for CutPoint: walk the text sequence by sequence (a stray byte alone) and stop
// before the first one that would pass the limit.
size_t WalkedCutPoint(std::string_view text, size_t limit) {
  size_t at = 0;
  while (at < text.size()) {
    const size_t length = DecodeAt(text, at).length;
    const size_t step = length == 0 ? 1 : length;
    if (at + step > limit) break;
    at += step;
  }
  return at;
}

TEST(Utf8, CutPointNeverSplitsASequenceAndKeepsEveryStrayByteThatFits) {
  const struct {
    std::string_view text;
    size_t limit;
    size_t cut;
  } cases[] = {
      {"abc", 2, 2},
      {"abc", 9, 3},
      {"a\xC3\xA9", 2, 1},                       // not inside é
      {"a\xC3\xA9", 3, 3},
      {"\xF0\x9F\x98\x80z", 3, 0},
      {"\xF0\x9F\x98\x80z", 4, 4},
      {"\x80\x80\x80\x80", 2, 2},                // stray bytes are units of their own
      {"caf\xE9\xE9\xE9", 5, 5},
      {"\xE2\x82\xE2\x82\xAC", 1, 1},            // a cut sequence is bytes, ...
      {"\xE2\x82\xE2\x82\xAC", 4, 2},            // ... the valid one after it stays whole
      {"\xED\xB0\x80\x80", 2, 2},                // an encoded surrogate is three bytes
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CutPoint(c.text, c.limit), c.cut) << ::testing::PrintToString(std::string(c.text)) << " at " << c.limit;
  }

  // Every text of up to four bytes from the edges of the ranges, at every limit.
  constexpr std::array<char, 12> kBytes = {'a', '\x80', '\x9F', '\xA0', '\xBF', '\xC3', '\xE0', '\xE2', '\xED',
                                           '\xF0', '\xF4', '\xFF'};
  std::string text;
  for (size_t n = 0; n < 12 * 12 * 12 * 12; ++n) {
    text.clear();
    for (size_t k = n, i = 0; i < 4; ++i, k /= 12) text.push_back(kBytes[k % 12]);
    for (size_t limit = 0; limit <= text.size() + 1; ++limit) {
      ASSERT_EQ(CutPoint(text, limit), WalkedCutPoint(text, limit))
          << ::testing::PrintToString(text) << " at " << limit;
    }
  }
}

}  // namespace
}  // namespace vorlane::utf8
