// The content test of the URL check: whether a page holds, or lacks, the words or the phrase
// asked for, in any case. The page is taken piece by piece as it is read, lower-cased and
// searched with an overlap as long as the longest word, so that a page of any size is judged in
// the memory of one piece.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorlane::agent {

inline constexpr std::string_view kNoContentCheck = "no content check";
inline constexpr std::string_view kShouldContain = "should contain";
inline constexpr std::string_view kShouldNotContain = "should not contain";
inline constexpr std::string_view kAllWords = "all words";
inline constexpr std::string_view kAnyWord = "any word";
inline constexpr std::string_view kExactPhrase = "exact phrase";

// The bytes of a page read and searched at a time.
inline constexpr size_t kPageChunkBytes = 64 * 1024;

// UTF-8 text in lower case, character by character (Unicode's simple mappings); bytes that are no
// well-formed UTF-8 stay as they are.
std::string LowerUtf8(std::string_view text);

// The words of `content`: split at each single blank, at least one word (an empty content gives
// one empty word), a trailing blank giving none.
std::vector<std::string> ContentWords(std::string_view content);

// The test of one page, fed in pieces of any size (a character may be split between two).
class PageContentTest {
 public:
  // The check type and words are compared without regard to case.
  PageContentTest(std::string_view type, std::string_view words, std::string_view content);

  // False once more of the page cannot change the outcome.
  bool WantsMore() const;
  void Feed(std::string_view piece);
  // Ends the page: whether it passes. Each word is logged as it is taken, and the words are taken
  // only until the outcome is settled.
  bool Passes();

 private:
  enum class Mode { kAlways, kNever, kPhrase, kAllWords, kAnyWord };

  void Search();

  Mode mode_;
  bool contain_ = false;
  std::vector<std::string> needles_;  // lower case: the phrase, or the words in order
  std::vector<bool> found_;
  size_t unfound_ = 0;
  size_t overlap_ = 0;    // the longest needle less one byte
  std::string pending_;   // the start of a character that the last piece cut
  std::string window_;    // lower case: the overlap kept from before, then the newest piece
};

// The content test of a page in memory.
bool CheckContent(std::string_view page, std::string_view type, std::string_view words, std::string_view content);

// The content test of the page in `file`, read `chunkBytes` at a time; nothing when the file
// cannot be read.
std::optional<bool> CheckFileContent(const std::filesystem::path& file, std::string_view type, std::string_view words,
                                     std::string_view content, size_t chunkBytes = kPageChunkBytes);

}  // namespace vorlane::agent
