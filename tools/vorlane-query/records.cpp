#include "tools/vorlane-query/records.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "platform/base/replace.h"

namespace vorlane::query {

std::optional<std::string> FieldValue(std::string_view record, std::string_view key) {
  const std::string needle = "#" + std::string(key) + "=";
  const size_t start = record.find(needle);
  if (start == std::string_view::npos) return std::nullopt;
  const size_t valueStart = start + needle.size();
  const size_t end = record.find('#', valueStart);
  if (end == std::string_view::npos) return std::nullopt;
  return std::string(record.substr(valueStart, end - valueStart));
}

std::string SubstituteSession(std::string record, std::string_view sessionId) {
  return ReplaceAll(std::move(record), "{session}", sessionId);
}

bool IsLogout(std::string_view record) {
  std::optional<std::string> action = FieldValue(record, "requestaction");
  if (!action) return false;
  std::transform(action->begin(), action->end(), action->begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return *action == "logout";
}

std::optional<std::vector<std::string_view>> RecordPairs(std::string_view record) {
  if (record.size() < 2 || record.front() != '#' || record.back() != '#') return std::nullopt;
  std::vector<std::string_view> pairs;
  bool quoted = false;
  size_t start = 1;
  for (size_t i = 1; i < record.size(); ++i) {
    if (record[i] == '"') quoted = !quoted;
    if (record[i] == '#' && !quoted) {
      pairs.push_back(record.substr(start, i - start));
      start = i + 1;
    }
  }
  if (quoted || start != record.size()) return std::nullopt;
  return pairs;
}

bool IsWholeRecord(std::string_view record) {
  const std::optional<std::vector<std::string_view>> split = RecordPairs(record);
  if (!split || split->empty()) return false;
  const std::vector<std::string_view>& pairs = *split;
  auto value = [&pairs](std::string_view key) -> std::optional<std::string_view> {
    for (std::string_view pair : pairs) {
      if (pair.size() > key.size() && pair.substr(0, key.size()) == key && pair[key.size()] == '=') {
        return pair.substr(key.size() + 1);
      }
    }
    return std::nullopt;
  };
  auto number = [](std::optional<std::string_view> text) -> std::optional<size_t> {
    if (!text || text->empty() || text->size() > 4) return std::nullopt;
    size_t n = 0;
    for (char c : *text) {
      if (c < '0' || c > '9') return std::nullopt;
      n = n * 10 + static_cast<size_t>(c - '0');
    }
    return n;
  };
  const std::optional<size_t> keycount = number(value("keycount"));
  if (!keycount || pairs.front().substr(0, 9) != "keycount=") return false;
  // A check list ends with the last check's entry, whatever its keycount says.
  if (const std::optional<size_t> checks = number(value("checkcount"))) {
    return value("available" + std::to_string(*checks)).has_value();
  }
  if (pairs.size() - 1 < *keycount) return false;
  return !value("result") || value("resultstring");
}

void AnswerReader::Reset() {
  text_.clear();
  lastData_ = {};
}

void AnswerReader::Add(std::string_view data, Clock::time_point now) {
  if (data.empty()) return;
  text_.append(data);
  lastData_ = now;
}

std::optional<std::string> AnswerReader::Complete(Clock::time_point now) const {
  const size_t first = text_.find('#');
  if (first == std::string::npos) return std::nullopt;
  // A line end right after a closing '#' (one that is not the opening one).
  for (size_t i = first + 2; i < text_.size(); ++i) {
    if ((text_[i] == '\r' || text_[i] == '\n') && text_[i - 1] == '#') return text_.substr(first, i - first);
  }
  std::optional<std::string> answer = EndedByHash();
  if (answer && (now - lastData_ >= kQuietTime || IsWholeRecord(*answer))) return answer;
  return std::nullopt;
}

std::optional<std::string> AnswerReader::CompleteAtEnd() const {
  if (auto answer = Complete(lastData_)) return answer;
  return EndedByHash();
}

std::optional<AnswerReader::Clock::time_point> AnswerReader::QuietDeadline() const {
  if (!EndedByHash()) return std::nullopt;
  return lastData_ + kQuietTime;
}

std::optional<std::string> AnswerReader::EndedByHash() const {
  const size_t first = text_.find('#');
  if (first == std::string::npos || text_.size() < first + 2 || text_.back() != '#') return std::nullopt;
  return text_.substr(first);
}

}  // namespace vorlane::query
