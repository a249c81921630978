// The terminal server's request framer driven as a byte stream over a fake clock: chunks of
// bytes, pauses followed by a Poll, the end of the input. After every step the requests
// delivered so far must be the ones a plain model of the framing rules gives; feeding every
// chunk byte by byte at the same times must give them too. No request holds a line end or is
// longer than the limit, Poll delivers nothing before the quiet time since the last byte, and a
// framer without a Deadline() has nothing for Poll however long it waits.
#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/termserver/request_framer.h"

namespace {

using vorlane::termserver::RequestFramer;
using Clock = RequestFramer::Clock;
using std::chrono::milliseconds;

constexpr milliseconds kQuiet{100};
const Clock::time_point kT0 = Clock::time_point{} + std::chrono::hours(1);

// The framing rules written down plainly: the text since the last request end is kept whole,
// and the request is that text cut to the limit.
class ReferenceFramer {
 public:
  explicit ReferenceFramer(size_t limit) : limit_(limit) {}

  void Feed(std::string_view bytes, Clock::time_point now, std::vector<std::string>& out) {
    if (bytes.empty()) return;
    lastByte_ = now;
    for (char c : bytes) {
      const bool justQuietEnded = quietEnded_;
      quietEnded_ = false;
      const bool lfOfCrLf = c == '\n' && afterCr_;
      afterCr_ = c == '\r';
      if (lfOfCrLf) {
        afterCr_ = false;
        continue;
      }
      if (c == '\r' || c == '\n') {
        // A line end that ends a request (or comes late for one the quiet rule ended) tells
        // that this client ends its requests with line ends.
        if (!line_.empty() || justQuietEnded) lineEnds_ = true;
        if (!line_.empty() && line_.size() <= limit_) out.push_back(line_);
        line_.clear();
        continue;
      }
      line_ += c;
      // The part that fits goes out as soon as the line is known to be too long.
      if (line_.size() == limit_ + 1) {
        out.push_back(line_.substr(0, limit_));
        truncated_ = true;
      }
    }
  }

  bool AwaitsQuiet() const {
    return !lineEnds_ && !line_.empty() && line_.size() <= limit_ && line_.back() == '#';
  }

  void Poll(Clock::time_point now, std::vector<std::string>& out) {
    if (!AwaitsQuiet() || now - lastByte_ < kQuiet) return;
    out.push_back(line_);
    line_.clear();
    quietEnded_ = true;
  }

  std::optional<Clock::time_point> Deadline() const {
    if (!AwaitsQuiet()) return std::nullopt;
    return lastByte_ + kQuiet;
  }

  void EndOfInput() { lineEnds_ = false; }

  bool TakeTruncated() { return std::exchange(truncated_, false); }

 private:
  const size_t limit_;
  std::string line_;
  bool afterCr_ = false;
  bool lineEnds_ = false;
  bool quietEnded_ = false;
  bool truncated_ = false;
  Clock::time_point lastByte_{};
};

// One step of the stream.
struct Step {
  enum class Kind { kFeed, kPoll, kPollAtDeadline, kEndOfInput } kind;
  std::string bytes;       // kFeed
  milliseconds advance{};  // kPoll: how far the clock moves first
};

std::vector<Step> ReadSteps(FuzzedDataProvider& input) {
  std::vector<Step> steps;
  for (int i = 0; i < 256 && input.remaining_bytes() > 0; ++i) {
    const uint8_t control = input.ConsumeIntegral<uint8_t>();
    const unsigned argument = control >> 2;
    switch (control & 3) {
      case 0:
      case 1:
        steps.push_back({Step::Kind::kFeed, input.ConsumeBytesAsString(argument + 1), {}});
        break;
      case 2:
        // Pauses around the quiet time are the interesting ones: 0..63 steps of 5 ms.
        steps.push_back({Step::Kind::kPoll, {}, milliseconds(argument * 5)});
        break;
      default:
        steps.push_back({argument < 32 ? Step::Kind::kPollAtDeadline : Step::Kind::kEndOfInput, {}, {}});
        break;
    }
  }
  return steps;
}

void CheckRequests(const std::vector<std::string>& requests, size_t from, size_t limit) {
  for (size_t i = from; i < requests.size(); ++i) {
    FUZZ_CHECK(!requests[i].empty());
    FUZZ_CHECK(requests[i].size() <= limit);
    FUZZ_CHECK(requests[i].find_first_of("\r\n") == std::string::npos);
  }
}

// Poll as the session does, with the property that nothing comes before the quiet time.
void PollChecked(RequestFramer& framer, Clock::time_point now, Clock::time_point lastByte,
                 std::vector<std::string>& out) {
  const std::optional<Clock::time_point> deadline = framer.Deadline();
  if (!deadline) {
    // Nothing for Poll however long it waits (asked of a copy, which the late Poll may change).
    RequestFramer copy = framer;
    FUZZ_CHECK(!copy.Poll(now + std::chrono::hours(24)));
  }
  std::optional<std::string> request = framer.Poll(now);
  if (request) {
    FUZZ_CHECK(now - lastByte >= kQuiet);
    FUZZ_CHECK(deadline && *deadline <= now);
    out.push_back(std::move(*request));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const size_t limit = input.ConsumeIntegralInRange<size_t>(1, 64);
  const std::vector<Step> steps = ReadSteps(input);

  RequestFramer whole(limit, kQuiet);
  RequestFramer bytewise(limit, kQuiet);
  ReferenceFramer model(limit);
  std::vector<std::string> fromWhole, fromBytewise, fromModel;
  Clock::time_point now = kT0;
  Clock::time_point lastByte = kT0;

  for (const Step& step : steps) {
    const size_t before = fromWhole.size();
    switch (step.kind) {
      case Step::Kind::kFeed: {
        for (std::string& request : whole.Feed(step.bytes, now)) fromWhole.push_back(std::move(request));
        for (char c : step.bytes) {
          for (std::string& request : bytewise.Feed(std::string_view(&c, 1), now)) {
            fromBytewise.push_back(std::move(request));
          }
        }
        model.Feed(step.bytes, now, fromModel);
        if (!step.bytes.empty()) lastByte = now;
        const bool truncated = whole.TakeTruncated();
        FUZZ_CHECK(truncated == model.TakeTruncated());
        FUZZ_CHECK(!whole.TakeTruncated());
        FUZZ_CHECK(bytewise.TakeTruncated() == truncated);
        break;
      }
      case Step::Kind::kPoll:
        now += step.advance;
        PollChecked(whole, now, lastByte, fromWhole);
        PollChecked(bytewise, now, lastByte, fromBytewise);
        model.Poll(now, fromModel);
        break;
      case Step::Kind::kPollAtDeadline:
        if (const std::optional<Clock::time_point> deadline = whole.Deadline(); deadline && *deadline > now) {
          now = *deadline;
        }
        PollChecked(whole, now, lastByte, fromWhole);
        PollChecked(bytewise, now, lastByte, fromBytewise);
        model.Poll(now, fromModel);
        break;
      case Step::Kind::kEndOfInput:
        whole.EndOfInput();
        bytewise.EndOfInput();
        model.EndOfInput();
        break;
    }
    CheckRequests(fromWhole, before, limit);
    FUZZ_CHECK(fromWhole == fromModel);
    FUZZ_CHECK(fromBytewise == fromModel);
    FUZZ_CHECK(whole.Deadline() == model.Deadline());
    FUZZ_CHECK(bytewise.Deadline() == model.Deadline());
  }
  return 0;
}
