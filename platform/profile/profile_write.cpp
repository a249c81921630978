// The writing half of the profile API. Each operation is an edit of the file text that touches
// only the lines it is about; everything else (comments, odd lines, the byte-order mark, the
// line-end style) is copied through byte for byte. Locking and atomic replacement live in
// profile_store.cpp.
#include <cerrno>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/profile/profile.h"
#include "platform/profile/profile_parse.h"
#include "platform/profile/profile_store.h"

namespace vorlane::profile {

using detail::Document;
using detail::kNotFound;
using detail::Line;
using detail::LineKind;

namespace {

bool ContainsAny(std::string_view s, std::string_view chars) { return s.find_first_of(chars) != std::string_view::npos; }

// Built with an explicit length: from a plain literal the set would end at its NUL.
constexpr std::string_view kLineBreaksAndNul{"\r\n\0", 3};

bool IsBlankEdged(std::string_view s) { return detail::TrimBlanks(s).size() != s.size(); }

Error Invalid(std::string_view what, const std::filesystem::path& file) {
  return Error{EINVAL, "profile: invalid " + std::string(what) + " for " + file.string()};
}

// Everything that would not come back from a read exactly as written is refused: names that
// the reader trims or splits differently, and anything that could start a new line.
std::optional<Error> Validate(const std::filesystem::path& file, std::string_view section, std::string_view key,
                              std::optional<std::string_view> value) {
  if (section.empty() || IsBlankEdged(section) || ContainsAny(section, kLineBreaksAndNul) ||
      section.find(']') != std::string_view::npos) {
    return Invalid("section name", file);
  }
  // A key line starting with '[' would read as a header (or be skipped), one starting with ';'
  // as a comment.
  if (key.empty() || IsBlankEdged(key) || ContainsAny(key, kLineBreaksAndNul) || key.find('=') != std::string_view::npos ||
      key.front() == '[' || key.front() == ';') {
    return Invalid("key", file);
  }
  if (value && ContainsAny(*value, kLineBreaksAndNul)) return Invalid("value", file);
  return std::nullopt;
}

// The reader trims blanks and drops one pair of enclosing equal quotes; a value that either
// would change is stored inside one more pair of double quotes, which the reader takes off.
std::string EncodeValue(std::string_view value) {
  bool blankEdged = IsBlankEdged(value);
  bool looksQuoted = detail::Unquote(value).size() != value.size();
  if (blankEdged || looksQuoted) return "\"" + std::string(value) + "\"";
  return std::string(value);
}

// New lines follow the file's own convention, judged by its first line end. Files without one
// (new or single-line) get "\n", the native convention here; the reader accepts both.
std::string_view LineEnd(const Document& doc) {
  size_t newline = doc.text.find('\n');
  if (newline != std::string_view::npos && newline > 0 && doc.text[newline - 1] == '\r') return "\r\n";
  return "\n";
}

// What ends an unterminated last line before more is written behind it. A CR at its end already
// ends the line for the reader, which drops it; the file's line end written after that CR would
// make it part of the line's value, so only the LF it lacks is added.
std::string_view EndLastLine(std::string_view text, std::string_view eol) {
  return text.ends_with('\r') ? std::string_view("\n") : eol;
}

bool IsTerminated(const Document& doc, const Line& line) {
  return line.next > line.begin && doc.text[line.next - 1] == '\n';
}

// The text with the byte ranges [first, second) removed; ranges sorted and disjoint.
std::string RemoveRanges(std::string_view text, const std::vector<std::pair<size_t, size_t>>& ranges) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  for (const auto& [from, to] : ranges) {
    out.append(text.substr(pos, from - pos));
    pos = to;
  }
  out.append(text.substr(pos));
  return out;
}

std::optional<std::string> SetValue(std::string_view text, std::string_view section, std::string_view key,
                                    std::string_view value) {
  Document doc = detail::Parse(text);
  std::string_view eol = LineEnd(doc);
  std::string encoded = EncodeValue(value);

  size_t header = detail::FindSection(doc, section);
  if (header == kNotFound) {
    std::string out(text);
    // The new header must start a line of its own.
    if (out.size() > doc.bomLength && out.back() != '\n') out.append(EndLastLine(out, eol));
    out.append("[").append(section).append("]").append(eol);
    out.append(key).append("=").append(encoded).append(eol);
    return out;
  }

  size_t existing = detail::FindKey(doc, header, key);
  if (existing != kNotFound) {
    const Line& line = doc.lines[existing];
    std::string replacement = std::string(line.name) + "=" + encoded;
    std::string_view old = text.substr(line.begin, line.contentEnd - line.begin);
    if (old == replacement) return std::nullopt;  // already so: spare the rewrite
    std::string out(text.substr(0, line.begin));
    out.append(replacement).append(text.substr(line.contentEnd));
    return out;
  }

  // After the section's last key, so blank lines and comments that lead into the next section
  // stay in front of it.
  size_t anchor = header;
  size_t end = detail::SectionEnd(doc, header);
  for (size_t i = header + 1; i < end; ++i) {
    if (doc.lines[i].kind == LineKind::kKey) anchor = i;
  }
  const Line& after = doc.lines[anchor];
  std::string entry = std::string(key) + "=" + encoded;
  std::string out(text.substr(0, after.next));
  if (IsTerminated(doc, after)) {
    out.append(entry).append(eol);
  } else {
    // The anchor is the unterminated last line; keep the file unterminated as it was.
    out.append(EndLastLine(out, eol)).append(entry);
  }
  out.append(text.substr(after.next));
  return out;
}

std::optional<std::string> RemoveKey(std::string_view text, std::string_view section, std::string_view key) {
  Document doc = detail::Parse(text);
  size_t header = detail::FindSection(doc, section);
  if (header == kNotFound) return std::nullopt;
  std::vector<std::pair<size_t, size_t>> ranges;
  size_t end = detail::SectionEnd(doc, header);
  for (size_t i = header + 1; i < end; ++i) {
    const Line& line = doc.lines[i];
    if (line.kind == LineKind::kKey && EqualsIgnoringAsciiCase(line.name, key)) ranges.emplace_back(line.begin, line.next);
  }
  if (ranges.empty()) return std::nullopt;
  return RemoveRanges(text, ranges);
}

std::optional<std::string> RemoveSection(std::string_view text, std::string_view section) {
  Document doc = detail::Parse(text);
  std::vector<std::pair<size_t, size_t>> ranges;
  for (size_t i = 0; i < doc.lines.size(); ++i) {
    const Line& line = doc.lines[i];
    if (line.kind != LineKind::kHeader || !EqualsIgnoringAsciiCase(line.name, section)) continue;
    size_t end = detail::SectionEnd(doc, i);
    ranges.emplace_back(line.begin, doc.lines[end - 1].next);
    i = end - 1;
  }
  if (ranges.empty()) return std::nullopt;
  return RemoveRanges(text, ranges);
}

}  // namespace

Status WriteString(const std::filesystem::path& file, std::string_view section, std::string_view key,
                   std::string_view value) {
  if (std::optional<Error> invalid = Validate(file, section, key, value)) return *invalid;
  return detail::ModifyFile(file, /*createIfMissing=*/true,
                            [&](const std::string& current) { return SetValue(current, section, key, value); });
}

// Deletions only ever remove whole lines, so no name can inject anything; a name that cannot
// occur in a file simply matches nothing. A missing file is left missing.
Status DeleteKey(const std::filesystem::path& file, std::string_view section, std::string_view key) {
  return detail::ModifyFile(file, /*createIfMissing=*/false,
                            [&](const std::string& current) { return RemoveKey(current, section, key); });
}

Status DeleteSection(const std::filesystem::path& file, std::string_view section) {
  return detail::ModifyFile(file, /*createIfMissing=*/false,
                            [&](const std::string& current) { return RemoveSection(current, section); });
}

}  // namespace vorlane::profile
