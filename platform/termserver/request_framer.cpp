#include "platform/termserver/request_framer.h"

#include <utility>

namespace vorlane::termserver {

void RequestFramer::EndLine(std::vector<std::string>& out) {
  if (!dropping_ && !pending_.empty()) out.push_back(std::move(pending_));
  pending_.clear();
  dropping_ = false;
}

std::vector<std::string> RequestFramer::Feed(std::string_view bytes, Clock::time_point now) {
  std::vector<std::string> out;
  if (bytes.empty()) return out;
  lastByte_ = now;
  for (char c : bytes) {
    // A line end right after a request the quiet rule ended is that request's own line end,
    // come late.
    const bool endsQuietRequest = std::exchange(quietEnded_, false);
    if (c == '\n' && afterCr_) {
      afterCr_ = false;
      continue;
    }
    afterCr_ = c == '\r';
    if (c == '\r' || c == '\n') {
      // A bare line end (such as the LF of the password's CR LF) ends no request and says
      // nothing about how the client ends them.
      if (!pending_.empty() || dropping_ || endsQuietRequest) endsWithLineEnds_ = true;
      EndLine(out);
      continue;
    }
    if (dropping_) continue;
    if (pending_.size() >= maxRequest_) {
      // Deliver what fits now; the rest of this line goes.
      out.push_back(std::move(pending_));
      pending_.clear();
      dropping_ = true;
      truncated_ = true;
      continue;
    }
    pending_ += c;
  }
  return out;
}

bool RequestFramer::AwaitsQuiet() const {
  return !endsWithLineEnds_ && !dropping_ && !pending_.empty() && pending_.back() == '#';
}

std::optional<std::string> RequestFramer::Poll(Clock::time_point now) {
  if (!AwaitsQuiet() || now - lastByte_ < quietTime_) return std::nullopt;
  std::string request = std::move(pending_);
  pending_.clear();
  quietEnded_ = true;
  return request;
}

std::optional<RequestFramer::Clock::time_point> RequestFramer::Deadline() const {
  if (!AwaitsQuiet()) return std::nullopt;
  return lastByte_ + quietTime_;
}

bool RequestFramer::TakeTruncated() {
  bool was = truncated_;
  truncated_ = false;
  return was;
}

}  // namespace vorlane::termserver
