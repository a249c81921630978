#include "platform/termserver/request_framer.h"

#include <utility>

namespace vorlane::termserver {
namespace {

// The pairs that open a record: a '#' right before either begins a new one.
constexpr std::string_view kBoundaries[] = {"##keycount=", "##requestaction="};
constexpr size_t kLongestBoundary = 16;
static_assert(kLongestBoundary == std::string_view("##requestaction=").size());

constexpr std::string_view kActionPair = "requestaction=";
constexpr std::string_view kSessionPair = "sessionid=";
constexpr std::string_view kKeycountPair = "keycount=";
// A keycount of more digits asks for more pairs than any request holds: no hint.
constexpr size_t kMaxKeycountDigits = 9;

// The length of the boundary `text` ends with, or 0.
size_t BoundaryAtEnd(std::string_view text) {
  for (std::string_view boundary : kBoundaries) {
    if (text.ends_with(boundary)) return boundary.size();
  }
  return 0;
}

// The bytes that a byte-by-byte look is needed for: line ends, and what pairs and boundaries
// are made of.
bool IsMarkup(char c) { return c == '\r' || c == '\n' || c == '#' || c == '='; }

std::optional<size_t> Keycount(std::string_view digits) {
  if (digits.empty() || digits.size() > kMaxKeycountDigits) return std::nullopt;
  size_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<size_t>(c - '0');
  }
  return value;
}

}  // namespace

std::string RequestFramer::TakePending() {
  std::string request = std::move(pending_);
  pending_.clear();
  pairs_ = {};
  return request;
}

void RequestFramer::EndLine(std::vector<std::string>& out) {
  std::string line = TakePending();
  if (!dropping_ && !line.empty()) out.push_back(std::move(line));
  dropping_ = false;
  droppedTail_.clear();
}

void RequestFramer::ClosePair() {
  const size_t at = pending_.size() - 1;
  if (pairs_.lastHash != std::string::npos) {
    const std::string_view pair(pending_.data() + pairs_.lastHash + 1, at - pairs_.lastHash - 1);
    ++pairs_.closed;
    if (pair.starts_with(kActionPair)) {
      pairs_.action = true;
    } else if (pair.starts_with(kSessionPair)) {
      pairs_.session = true;
    } else if (pairs_.lastHash == 0 && pairs_.closed == 1 && pair.starts_with(kKeycountPair)) {
      pairs_.keycount = Keycount(pair.substr(kKeycountPair.size()));
    }
  }
  pairs_.lastHash = at;
}

void RequestFramer::SplitAt(size_t from, std::vector<std::string>& out) {
  std::string rest = pending_.substr(from);
  pending_.resize(from);
  out.push_back(TakePending());
  for (char c : rest) Take(c, out);
}

void RequestFramer::Append(char c, std::vector<std::string>& out) {
  pending_ += c;
  if (c == '#') ClosePair();
  if (c == '=') {
    if (size_t boundary = BoundaryAtEnd(pending_); boundary > 0) {
      SplitAt(pending_.size() - boundary + 1, out);
      return;
    }
  }
  if (pending_.size() > maxRequest_) {
    // Deliver what fits now; the rest of this request goes. The last bytes seen stay, so that
    // a boundary that begins before the cut is still seen.
    droppedTail_ = pending_.substr(pending_.size() > kLongestBoundary ? pending_.size() - kLongestBoundary : 0);
    pending_.resize(maxRequest_);
    out.push_back(TakePending());
    dropping_ = true;
    truncated_ = true;
  }
}

// One byte that is no line end.
void RequestFramer::Take(char c, std::vector<std::string>& out) {
  if (!dropping_) {
    Append(c, out);
    return;
  }
  droppedTail_ += c;
  if (droppedTail_.size() > kLongestBoundary) droppedTail_.erase(0, droppedTail_.size() - kLongestBoundary);
  if (c != '=') return;
  if (size_t boundary = BoundaryAtEnd(droppedTail_); boundary > 0) {
    // A new record begins: it is taken from its '#' on.
    std::string start = droppedTail_.substr(droppedTail_.size() - boundary + 1);
    dropping_ = false;
    droppedTail_.clear();
    for (char k : start) Take(k, out);
  }
}

std::vector<std::string> RequestFramer::Feed(std::string_view bytes, Clock::time_point now) {
  std::vector<std::string> out;
  if (bytes.empty()) return out;
  lastByte_ = now;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    // A line end right after a request that ended without one is that request's own, come late.
    const bool endsBareRequest = std::exchange(endedBare_, false);
    if (c == '\n' && afterCr_) {
      afterCr_ = false;
      continue;
    }
    afterCr_ = c == '\r';
    if (c == '\r' || c == '\n') {
      // A bare line end (such as the LF of the password's CR LF) ends no request and says
      // nothing about how the client ends them.
      if (!pending_.empty() || dropping_ || endsBareRequest) endsWithLineEnds_ = true;
      EndLine(out);
      continue;
    }
    Take(c, out);
    if (dropping_) continue;
    // The bytes up to the next one that means anything here, as far as the limit allows, are
    // taken in one piece.
    const size_t room = maxRequest_ > pending_.size() ? maxRequest_ - pending_.size() : 0;
    size_t end = i + 1;
    while (end < bytes.size() && end - (i + 1) < room && !IsMarkup(bytes[end])) ++end;
    pending_.append(bytes.substr(i + 1, end - (i + 1)));
    i = end - 1;
  }
  // All that has arrived is a whole record of a client without line ends: nothing to wait for.
  if (!endsWithLineEnds_ && Whole()) {
    out.push_back(TakePending());
    endedBare_ = true;
  }
  return out;
}

bool RequestFramer::Whole() const {
  if (dropping_ || pending_.empty() || pending_.back() != '#') return false;
  if (!pairs_.action || !pairs_.session) return false;
  return !pairs_.keycount || pairs_.closed - 1 >= *pairs_.keycount;
}

std::optional<std::chrono::milliseconds> RequestFramer::QuietTime() const {
  if (dropping_ || pending_.empty() || pending_.back() != '#') return std::nullopt;
  if (endsWithLineEnds_) {
    if (Whole()) return partialQuietTime_;
    return std::nullopt;
  }
  if (Whole()) return std::chrono::milliseconds(0);
  return pairs_.action && pairs_.session ? quietTime_ : partialQuietTime_;
}

std::optional<std::string> RequestFramer::Poll(Clock::time_point now) {
  const std::optional<std::chrono::milliseconds> quiet = QuietTime();
  if (!quiet || now - lastByte_ < *quiet) return std::nullopt;
  endedBare_ = true;
  return TakePending();
}

std::optional<RequestFramer::Clock::time_point> RequestFramer::Deadline() const {
  const std::optional<std::chrono::milliseconds> quiet = QuietTime();
  if (!quiet) return std::nullopt;
  return lastByte_ + *quiet;
}

void RequestFramer::EndOfInput() { endsWithLineEnds_ = false; }

bool RequestFramer::TakeTruncated() {
  bool was = truncated_;
  truncated_ = false;
  return was;
}

}  // namespace vorlane::termserver
