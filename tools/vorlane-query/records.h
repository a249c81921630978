// Records as text: reading a field, filling in the session id, and telling when an answer that
// arrives in pieces is complete.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorlane::query {

// The value of "key" in a record "#k1=v1#key=value#...#", if the field is there.
std::optional<std::string> FieldValue(std::string_view record, std::string_view key);

// Replaces every "{session}" in `record` by `sessionId`.
std::string SubstituteSession(std::string record, std::string_view sessionId);

// True for a request whose requestaction is logout (any letter case): it gets no answer.
bool IsLogout(std::string_view record);

// The pairs of a record "#k1=v1#k2=v2#...#", each up to the next '#' outside double quotes (a
// quoted value, such as a nested record, is one pair); nothing when the text is not so framed.
std::optional<std::vector<std::string_view>> RecordPairs(std::string_view record);

// True when `record` ("#keycount=N#...#") holds all its pairs: at least N pairs after keycount
// (a quoted value, such as a nested record, is one pair) and a resultstring wherever there is a
// result; a check list when it holds the last of its checkcount entries (the two answers whose
// keycount is smaller than the pairs they carry). Any other shape is never whole by this rule.
bool IsWholeRecord(std::string_view record);

// Collects the text that arrives after a request and finds the answer record in it: the text
// from the first '#' through a '#' that a line end follows, a whole record (IsWholeRecord)
// that ends the text, or a '#' that ends the text once nothing more arrived for the quiet time.
class AnswerReader {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kQuietTime{200};
  // No answer of the agent comes near this; a peer that sends more is no agent.
  static constexpr size_t kMaxAnswerBytes = 4 * 1024 * 1024;

  void Reset();
  void Add(std::string_view data, Clock::time_point now);
  // The answer, when it is complete at `now`.
  std::optional<std::string> Complete(Clock::time_point now) const;
  // The answer as it stands when no more text comes (the peer closed): complete if it ends in '#'.
  std::optional<std::string> CompleteAtEnd() const;
  // When the quiet time of a text ending in '#' runs out, if the text ends so.
  std::optional<Clock::time_point> QuietDeadline() const;
  const std::string& Text() const { return text_; }

 private:
  std::optional<std::string> EndedByHash() const;

  std::string text_;
  Clock::time_point lastData_{};
};

}  // namespace vorlane::query
