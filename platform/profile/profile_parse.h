// Internal: the line structure of a profile file, shared by the readers and the writers.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/ascii.h"

namespace vorlane::profile::detail {

enum class LineKind {
  kOther,   // blank, comment, "[" without "]", empty key, or anything else: carried along untouched
  kHeader,  // "[name]"
  kKey,     // "key=value"
};

// One line of the file. Offsets index the parsed text; the views point into it, so a Document
// is only valid while that text is alive and unchanged.
struct Line {
  size_t begin = 0;       // first byte of the line
  size_t contentEnd = 0;  // end of the line without its "\n" or "\r\n"
  size_t next = 0;        // first byte after the line terminator (== contentEnd if there is none)
  LineKind kind = LineKind::kOther;
  std::string_view name;   // section name (kHeader) or key (kKey), trimmed
  std::string_view value;  // kKey only: trimmed, still with any enclosing quotes
};

struct Document {
  std::string_view text;
  size_t bomLength = 0;  // 3 when the text starts with a UTF-8 byte-order mark
  std::vector<Line> lines;
};

inline constexpr size_t kNotFound = static_cast<size_t>(-1);

Document Parse(std::string_view text);

// Whole file content, or "" when it is missing, unreadable or not a regular file.
std::string ReadFileOrEmpty(const std::filesystem::path& file);
std::string_view TrimBlanks(std::string_view s);
// Drops one pair of matching enclosing quotes (' or "), if there is one.
std::string_view Unquote(std::string_view value);
// The part before the first NUL byte: what a C string consumer would see.
std::string_view CutAtNul(std::string_view s);

// Index of the first header named `section`, or kNotFound.
size_t FindSection(const Document& doc, std::string_view section);
// Index of the line after the last line of the section whose header is at `header`.
size_t SectionEnd(const Document& doc, size_t header);
// Index of the first line of `key` inside the section whose header is at `header`, or kNotFound.
size_t FindKey(const Document& doc, size_t header, std::string_view key);

}  // namespace vorlane::profile::detail
