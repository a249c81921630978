#include "agent/checks/page_content.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fstream>

#include "agent/log/agent_log.h"
#include "platform/base/ascii.h"
#include "platform/base/utf8.h"

namespace vorlane::agent {
namespace {


// The character tables of C.UTF-8, whatever locale the process runs in.
locale_t Utf8Locale() {
  static const locale_t locale = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return locale;
}

void AppendLower(std::string& lower, std::string_view text) {
  const locale_t locale = Utf8Locale();
  for (size_t at = 0; at < text.size();) {
    const utf8::Sequence sequence = utf8::DecodeAt(text, at);
    if (sequence.length == 0) {
      lower.push_back(text[at++]);
      continue;
    }
    char32_t c = sequence.value;
    if (c < 0x80) {
      c = static_cast<char32_t>(std::tolower(static_cast<int>(c)));
    } else if (locale != static_cast<locale_t>(nullptr)) {
      c = static_cast<char32_t>(::towlower_l(static_cast<wint_t>(c), locale));
    }
    utf8::AppendUtf8(lower, c);
    at += sequence.length;
  }
}

// How many bytes at the end of `text` begin a character that the next piece may complete. They
// wait for it: decoded then, they give what the whole page would, and a character that never
// completes gives its bytes as they are, as in the whole page.
size_t CutCharacter(std::string_view text) {
  for (size_t back = 1; back <= std::min<size_t>(3, text.size()); ++back) {
    const auto lead = static_cast<uint8_t>(text[text.size() - back]);
    const size_t length = lead >= 0xF0 && lead <= 0xF4   ? 4
                          : lead >= 0xE0 && lead <= 0xEF ? 3
                          : lead >= 0xC2 && lead <= 0xDF ? 2
                                                         : 1;
    if (length > back) return back;
  }
  return 0;
}

}  // namespace

std::string LowerUtf8(std::string_view text) {
  std::string lower;
  lower.reserve(text.size());
  AppendLower(lower, text);
  return lower;
}

std::vector<std::string> ContentWords(std::string_view content) {
  std::vector<std::string> words;
  size_t at = 0;
  do {
    const size_t blank = content.find(' ', at);
    if (blank == std::string_view::npos) {
      words.emplace_back(content.substr(at));
      at = content.size();
    } else {
      words.emplace_back(content.substr(at, blank - at));
      at = blank + 1;
    }
  } while (at < content.size());
  return words;
}

PageContentTest::PageContentTest(std::string_view type, std::string_view words, std::string_view content)
    : mode_(Mode::kNever), contain_(EqualsIgnoringAsciiCase(type, kShouldContain)) {
  if (!contain_ && !EqualsIgnoringAsciiCase(type, kShouldNotContain)) {
    if (EqualsIgnoringAsciiCase(type, kNoContentCheck)) mode_ = Mode::kAlways;
    return;
  }
  const std::string lowerContent = LowerUtf8(content);
  if (EqualsIgnoringAsciiCase(words, kExactPhrase)) {
    mode_ = Mode::kPhrase;
    needles_.push_back(lowerContent);
  } else if (EqualsIgnoringAsciiCase(words, kAllWords) || EqualsIgnoringAsciiCase(words, kAnyWord)) {
    mode_ = EqualsIgnoringAsciiCase(words, kAllWords) ? Mode::kAllWords : Mode::kAnyWord;
    needles_ = ContentWords(lowerContent);
  }
  // An empty word is always found.
  for (const std::string& needle : needles_) {
    found_.push_back(needle.empty());
    if (!needle.empty()) ++unfound_;
    overlap_ = std::max(overlap_, needle.empty() ? 0 : needle.size() - 1);
  }
}

bool PageContentTest::WantsMore() const { return unfound_ > 0; }

void PageContentTest::Feed(std::string_view piece) {
  if (!WantsMore()) return;
  pending_.append(piece);
  const size_t whole = pending_.size() - CutCharacter(pending_);
  AppendLower(window_, std::string_view(pending_).substr(0, whole));
  pending_.erase(0, whole);
  Search();
}

void PageContentTest::Search() {
  for (size_t i = 0; i < needles_.size(); ++i) {
    if (!found_[i] && window_.find(needles_[i]) != std::string::npos) {
      found_[i] = true;
      --unfound_;
    }
  }
  // A needle that the next piece completes starts within its length less one of the end.
  if (window_.size() > overlap_) window_.erase(0, window_.size() - overlap_);
}

bool PageContentTest::Passes() {
  if (!pending_.empty() && WantsMore()) {
    AppendLower(window_, pending_);
    Search();
  }
  pending_.clear();
  switch (mode_) {
    case Mode::kAlways: return true;
    case Mode::kNever: return false;
    case Mode::kPhrase: return found_.front() == contain_;
    case Mode::kAllWords:
    case Mode::kAnyWord: break;
  }
  // The search stops as soon as the outcome is settled: a word missing of all, a word there of any.
  const bool all = mode_ == Mode::kAllWords;
  for (size_t i = 0; i < needles_.size(); ++i) {
    Log(needles_[i], kLogInfo);
    if (all && !found_[i]) return !contain_;
    if (!all && found_[i]) return contain_;
  }
  return all == contain_;
}

bool CheckContent(std::string_view page, std::string_view type, std::string_view words, std::string_view content) {
  PageContentTest test(type, words, content);
  for (size_t at = 0; at < page.size() && test.WantsMore(); at += kPageChunkBytes) {
    test.Feed(page.substr(at, kPageChunkBytes));
  }
  return test.Passes();
}

std::optional<bool> CheckFileContent(const std::filesystem::path& file, std::string_view type, std::string_view words,
                                     std::string_view content, size_t chunkBytes) {
  PageContentTest test(type, words, content);
  if (!test.WantsMore()) return test.Passes();
  std::ifstream page(file, std::ios::binary);
  if (!page) return std::nullopt;
  std::string chunk(std::max<size_t>(chunkBytes, 1), '\0');
  while (test.WantsMore() && page) {
    page.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    test.Feed(std::string_view(chunk.data(), static_cast<size_t>(page.gcount())));
  }
  if (page.bad()) return std::nullopt;
  return test.Passes();
}

}  // namespace vorlane::agent
