// The terminal server's request framer driven as a byte stream over a fake clock: chunks of
// bytes, pauses followed by a Poll, the end of the input. After every step the requests
// delivered so far must be the ones a plain model of the framing rules gives, for the chunks as
// they came and for every chunk fed byte by byte (where a record is whole, and so ends, depends
// on where the chunks end). No request holds a line end or is longer than the limit, Poll
// delivers nothing before the framer's deadline, a framer without a Deadline() has nothing for
// Poll however long it waits, and unless a line was cut, the requests hold every byte that is
// no line end, in order, however the stream was chunked.
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
constexpr milliseconds kPartialQuiet{1000};
const Clock::time_point kT0 = Clock::time_point{} + std::chrono::hours(1);

// The framing rules written down plainly: the text since the last request end is kept whole,
// the request is that text cut to the limit, and what its pairs tell is read from it anew.
class ReferenceFramer {
 public:
  explicit ReferenceFramer(size_t limit) : limit_(limit) {}

  void Feed(std::string_view bytes, Clock::time_point now, std::vector<std::string>& out) {
    if (bytes.empty()) return;
    lastByte_ = now;
    for (char c : bytes) {
      const bool justEndedBare = std::exchange(endedBare_, false);
      const bool lfOfCrLf = c == '\n' && afterCr_;
      afterCr_ = c == '\r';
      if (lfOfCrLf) {
        afterCr_ = false;
        continue;
      }
      if (c == '\r' || c == '\n') {
        // A line end that ends a request (or comes late for one that ended without it) tells
        // that this client ends its requests with line ends.
        if (!text_.empty() || justEndedBare) lineEnds_ = true;
        if (!text_.empty() && !cut_) out.push_back(text_);
        text_.clear();
        cut_ = false;
        continue;
      }
      text_ += c;
      if (size_t boundary = BoundaryAtEnd(); boundary > 0) {
        const size_t from = text_.size() - boundary + 1;
        if (!cut_) out.push_back(text_.substr(0, from));
        text_ = text_.substr(from);
        cut_ = false;
      }
      // The part that fits goes out as soon as the text is known to be too long.
      if (!cut_ && text_.size() > limit_) {
        out.push_back(text_.substr(0, limit_));
        cut_ = true;
        truncated_ = true;
      }
    }
    if (!lineEnds_ && Whole()) {
      out.push_back(text_);
      text_.clear();
      endedBare_ = true;
    }
  }

  void Poll(Clock::time_point now, std::vector<std::string>& out) {
    const std::optional<milliseconds> quiet = QuietTime();
    if (!quiet || now - lastByte_ < *quiet) return;
    out.push_back(text_);
    text_.clear();
    endedBare_ = true;
  }

  std::optional<Clock::time_point> Deadline() const {
    const std::optional<milliseconds> quiet = QuietTime();
    if (!quiet) return std::nullopt;
    return lastByte_ + *quiet;
  }

  void EndOfInput() { lineEnds_ = false; }

  bool TakeTruncated() { return std::exchange(truncated_, false); }

 private:
  struct Pairs {
    size_t closed = 0;
    bool action = false;
    bool session = false;
    std::optional<size_t> keycount;
  };

  size_t BoundaryAtEnd() const {
    for (std::string_view boundary : {std::string_view("##keycount="), std::string_view("##requestaction=")}) {
      if (std::string_view(text_).ends_with(boundary)) return boundary.size();
    }
    return 0;
  }

  // Every run of bytes between two '#' is a pair.
  Pairs ReadPairs() const {
    Pairs pairs;
    size_t hash = text_.find('#');
    while (hash != std::string::npos) {
      const size_t next = text_.find('#', hash + 1);
      if (next == std::string::npos) break;
      const std::string_view pair = std::string_view(text_).substr(hash + 1, next - hash - 1);
      ++pairs.closed;
      if (pair.starts_with("requestaction=")) pairs.action = true;
      if (pair.starts_with("sessionid=")) pairs.session = true;
      if (hash == 0 && pairs.closed == 1 && pair.starts_with("keycount=")) {
        const std::string_view digits = pair.substr(9);
        if (!digits.empty() && digits.size() <= 9 && digits.find_first_not_of("0123456789") == std::string_view::npos) {
          pairs.keycount = std::stoul(std::string(digits));
        }
      }
      hash = next;
    }
    return pairs;
  }

  bool EndsWithHash() const { return !text_.empty() && !cut_ && text_.back() == '#'; }

  bool Whole() const {
    if (!EndsWithHash()) return false;
    const Pairs pairs = ReadPairs();
    return pairs.action && pairs.session && (!pairs.keycount || pairs.closed - 1 >= *pairs.keycount);
  }

  std::optional<milliseconds> QuietTime() const {
    if (!EndsWithHash()) return std::nullopt;
    if (lineEnds_) return Whole() ? std::optional(kPartialQuiet) : std::nullopt;
    if (Whole()) return milliseconds(0);
    const Pairs pairs = ReadPairs();
    return pairs.action && pairs.session ? kQuiet : kPartialQuiet;
  }

  const size_t limit_;
  std::string text_;
  bool cut_ = false;
  bool afterCr_ = false;
  bool lineEnds_ = false;
  bool endedBare_ = false;
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

// Poll as the session does, with the property that nothing comes before the deadline.
void PollChecked(RequestFramer& framer, Clock::time_point now, std::vector<std::string>& out) {
  const std::optional<Clock::time_point> deadline = framer.Deadline();
  if (!deadline) {
    // Nothing for Poll however long it waits (asked of a copy, which the late Poll may change).
    RequestFramer copy = framer;
    FUZZ_CHECK(!copy.Poll(now + std::chrono::hours(24)));
  }
  std::optional<std::string> request = framer.Poll(now);
  if (request) {
    FUZZ_CHECK(deadline && *deadline <= now);
    out.push_back(std::move(*request));
  }
}

// One framer fed as the stream came, or byte by byte, beside the model fed the same way.
struct Pair {
  Pair(size_t limit, bool bytewise) : framer(limit, kQuiet, kPartialQuiet), model(limit), bytewise(bytewise) {}

  void Feed(std::string_view bytes, Clock::time_point now) {
    for (size_t at = 0; at < bytes.size(); at += bytewise ? 1 : bytes.size()) {
      const std::string_view piece = bytes.substr(at, bytewise ? 1 : bytes.size());
      for (std::string& request : framer.Feed(piece, now)) fromFramer.push_back(std::move(request));
      model.Feed(piece, now, fromModel);
    }
    const bool truncated = framer.TakeTruncated();
    FUZZ_CHECK(truncated == model.TakeTruncated());
    FUZZ_CHECK(!framer.TakeTruncated());
    cut = cut || truncated;
  }

  void Poll(Clock::time_point now) {
    PollChecked(framer, now, fromFramer);
    model.Poll(now, fromModel);
  }

  void Check(size_t from, size_t limit) const {
    for (size_t i = from; i < fromFramer.size(); ++i) {
      FUZZ_CHECK(!fromFramer[i].empty());
      FUZZ_CHECK(fromFramer[i].size() <= limit);
      FUZZ_CHECK(fromFramer[i].find_first_of("\r\n") == std::string::npos);
    }
    FUZZ_CHECK(fromFramer == fromModel);
    FUZZ_CHECK(framer.Deadline() == model.Deadline());
  }

  RequestFramer framer;
  ReferenceFramer model;
  const bool bytewise;
  bool cut = false;
  std::vector<std::string> fromFramer, fromModel;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const size_t limit = input.ConsumeIntegralInRange<size_t>(1, 64);
  const std::vector<Step> steps = ReadSteps(input);

  Pair chunked(limit, false);
  Pair bytewise(limit, true);
  std::string sent;  // every byte that is no line end
  Clock::time_point now = kT0;

  for (const Step& step : steps) {
    const size_t before = chunked.fromFramer.size();
    const size_t beforeBytewise = bytewise.fromFramer.size();
    switch (step.kind) {
      case Step::Kind::kFeed:
        chunked.Feed(step.bytes, now);
        bytewise.Feed(step.bytes, now);
        for (char c : step.bytes) {
          if (c != '\r' && c != '\n') sent += c;
        }
        break;
      case Step::Kind::kPoll:
        now += step.advance;
        chunked.Poll(now);
        bytewise.Poll(now);
        break;
      case Step::Kind::kPollAtDeadline:
        if (const std::optional<Clock::time_point> deadline = chunked.framer.Deadline(); deadline && *deadline > now) {
          now = *deadline;
        }
        chunked.Poll(now);
        bytewise.Poll(now);
        break;
      case Step::Kind::kEndOfInput:
        chunked.framer.EndOfInput();
        chunked.model.EndOfInput();
        bytewise.framer.EndOfInput();
        bytewise.model.EndOfInput();
        break;
    }
    chunked.Check(before, limit);
    bytewise.Check(beforeBytewise, limit);
  }

  // At the end of the input every byte comes out, however the stream was chunked.
  for (Pair* pair : {&chunked, &bytewise}) {
    pair->framer.EndOfInput();
    pair->model.EndOfInput();
    pair->Poll(now + std::chrono::hours(1));
    pair->Feed("\n", now + std::chrono::hours(1));
    pair->Check(0, limit);
    if (pair->cut) continue;
    std::string joined;
    for (const std::string& request : pair->fromFramer) joined += request;
    FUZZ_CHECK(joined == sent);
  }
  return 0;
}
