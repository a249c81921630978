// The reading half of the profile API. Every call (or snapshot) reads and parses the file afresh:
// files are small, and this way a reader never holds state that a concurrent writer could make
// stale.
#include "platform/profile/profile.h"

#include <climits>
#include <optional>
#include <unordered_set>

#include "platform/profile/profile_parse.h"

namespace vorlane::profile {

using detail::Document;
using detail::kNotFound;
using detail::LineKind;

namespace {

// `s` as it would land in a C buffer of bufferSize chars: at most bufferSize - 1 bytes.
std::string FitBuffer(std::string_view s, size_t bufferSize) {
  if (bufferSize == 0) return {};
  return std::string(s.substr(0, bufferSize - 1));
}

// The value as the C API hands it out: unquoted, then up to an embedded NUL. Unquoting comes
// first because the quotes enclose the whole stored value, NUL bytes included.
std::string_view PresentedValue(std::string_view stored) { return detail::CutAtNul(detail::Unquote(stored)); }

std::optional<std::string> LookUp(const Document& doc, std::string_view section, std::string_view key) {
  size_t header = detail::FindSection(doc, section);
  if (header == kNotFound) return std::nullopt;
  size_t line = detail::FindKey(doc, header, key);
  if (line == kNotFound) return std::nullopt;
  return std::string(PresentedValue(doc.lines[line].value));
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Names are de-duplicated through a set of folded spellings, so that a file with very many
// sections or keys costs linear time rather than quadratic.
std::string FoldCase(std::string_view s) {
  std::string folded(s);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

}  // namespace

// The text and the lines parsed from it; the lines point into the text, which never moves.
struct Snapshot::Parsed {
  explicit Parsed(const std::filesystem::path& file) : text(detail::ReadFileOrEmpty(file)), doc(detail::Parse(text)) {}
  const std::string text;
  const Document doc;
};

Snapshot::Snapshot(const std::filesystem::path& file) : parsed_(std::make_unique<const Parsed>(file)) {}
Snapshot::~Snapshot() = default;
Snapshot::Snapshot(Snapshot&&) noexcept = default;
Snapshot& Snapshot::operator=(Snapshot&&) noexcept = default;

std::string Snapshot::GetString(std::string_view section, std::string_view key, std::string_view defaultValue,
                                size_t bufferSize) const {
  std::optional<std::string> value = LookUp(parsed_->doc, section, key);
  if (!value) return FitBuffer(detail::CutAtNul(defaultValue), bufferSize);
  return FitBuffer(*value, bufferSize);
}

int Snapshot::GetInt(std::string_view section, std::string_view key, int defaultValue) const {
  std::optional<std::string> value = LookUp(parsed_->doc, section, key);
  if (!value || value->empty()) return defaultValue;

  std::string_view s = *value;
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  // Accumulate in a wider type and clamp as soon as the magnitude leaves the int range, so
  // arbitrarily long digit runs cannot overflow.
  constexpr long long kLimit = static_cast<long long>(INT_MAX) + 1;  // |INT_MIN|
  long long magnitude = 0;
  for (; i < s.size() && IsDigit(s[i]); ++i) {
    magnitude = magnitude * 10 + (s[i] - '0');
    if (magnitude > kLimit) magnitude = kLimit;
  }
  if (negative) return magnitude >= kLimit ? INT_MIN : static_cast<int>(-magnitude);
  return magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
}

std::vector<std::string> Snapshot::GetSectionNames(size_t bufferSize) const {
  const Document& doc = parsed_->doc;
  std::vector<std::string> names;
  std::unordered_set<std::string> seen;
  size_t used = 0;  // chars of the packed buffer taken so far, terminators included
  for (const detail::Line& line : doc.lines) {
    if (line.kind != LineKind::kHeader) continue;
    std::string_view name = detail::CutAtNul(line.name);
    if (name.empty()) continue;
    if (!seen.insert(FoldCase(name)).second) continue;
    // The name, its own terminator and the terminator that ends the list must all fit.
    if (used + name.size() + 2 > bufferSize) break;
    used += name.size() + 1;
    names.emplace_back(name);
  }
  return names;
}

std::vector<std::pair<std::string, std::string>> Snapshot::GetSection(std::string_view section,
                                                                      size_t bufferSize) const {
  const Document& doc = parsed_->doc;
  std::vector<std::pair<std::string, std::string>> pairs;
  size_t header = detail::FindSection(doc, section);
  if (header == kNotFound) return pairs;

  size_t end = detail::SectionEnd(doc, header);
  std::unordered_set<std::string> seen;
  size_t used = 0;
  for (size_t i = header + 1; i < end; ++i) {
    const detail::Line& line = doc.lines[i];
    if (line.kind != LineKind::kKey) continue;
    // Later lines of a key already listed are invisible to GetString, so they are left out here too.
    if (!seen.insert(FoldCase(line.name)).second) continue;
    std::string_view key = detail::CutAtNul(line.name);
    std::string_view value = PresentedValue(line.value);
    // "key=value\0" plus the final terminator of the list.
    if (used + key.size() + value.size() + 3 > bufferSize) break;
    used += key.size() + value.size() + 2;
    pairs.emplace_back(std::string(key), std::string(value));
  }
  return pairs;
}

std::string GetString(const std::filesystem::path& file, std::string_view section, std::string_view key,
                      std::string_view defaultValue, size_t bufferSize) {
  return Snapshot(file).GetString(section, key, defaultValue, bufferSize);
}

int GetInt(const std::filesystem::path& file, std::string_view section, std::string_view key, int defaultValue) {
  return Snapshot(file).GetInt(section, key, defaultValue);
}

std::vector<std::string> GetSectionNames(const std::filesystem::path& file, size_t bufferSize) {
  return Snapshot(file).GetSectionNames(bufferSize);
}

std::vector<std::pair<std::string, std::string>> GetSection(const std::filesystem::path& file,
                                                            std::string_view section, size_t bufferSize) {
  return Snapshot(file).GetSection(section, bufferSize);
}

}  // namespace vorlane::profile
