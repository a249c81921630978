#include "tools/vorlane-query/records.h"

#include <algorithm>
#include <cctype>

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
  static constexpr std::string_view kPlaceholder = "{session}";
  for (size_t at = record.find(kPlaceholder); at != std::string::npos;
       at = record.find(kPlaceholder, at + sessionId.size())) {
    record.replace(at, kPlaceholder.size(), sessionId);
  }
  return record;
}

bool IsLogout(std::string_view record) {
  std::optional<std::string> action = FieldValue(record, "requestaction");
  if (!action) return false;
  std::transform(action->begin(), action->end(), action->begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return *action == "logout";
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
  if (now - lastData_ >= kQuietTime) return EndedByHash();
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
