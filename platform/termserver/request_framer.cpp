#include "platform/termserver/request_framer.h"

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
    if (c == '\n' && afterCr_) {
      afterCr_ = false;
      continue;
    }
    afterCr_ = c == '\r';
    if (c == '\r' || c == '\n') {
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

std::optional<std::string> RequestFramer::Poll(Clock::time_point now) {
  if (dropping_ || pending_.empty() || pending_.back() != '#') return std::nullopt;
  if (now - lastByte_ < quietTime_) return std::nullopt;
  std::string request = std::move(pending_);
  pending_.clear();
  return request;
}

std::optional<RequestFramer::Clock::time_point> RequestFramer::Deadline() const {
  if (dropping_ || pending_.empty() || pending_.back() != '#') return std::nullopt;
  return lastByte_ + quietTime_;
}

bool RequestFramer::TakeTruncated() {
  bool was = truncated_;
  truncated_ = false;
  return was;
}

}  // namespace vorlane::termserver
