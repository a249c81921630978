// Cuts the bytes a client sends into requests: a request ends at a line end (CR, LF or CR LF),
// or, for clients that send no line end, when it ends with '#' and nothing follows for a
// moment. A line longer than the limit is delivered cut to the limit, and the rest of it, up to
// the next line end, is dropped.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/termserver/limits.h"

namespace vorlane::termserver {

class RequestFramer {
 public:
  using Clock = std::chrono::steady_clock;

  explicit RequestFramer(size_t maxRequest = kMaxRequestBytes,
                         std::chrono::milliseconds quietTime = kHashRequestQuietTime)
      : maxRequest_(maxRequest), quietTime_(quietTime) {}

  // Adds received bytes; returns the requests they completed, in order.
  std::vector<std::string> Feed(std::string_view bytes, Clock::time_point now);
  // The request that ended with '#' and has been quiet long enough, if any.
  std::optional<std::string> Poll(Clock::time_point now);
  // When Poll may next have something: the end of the quiet time, or nothing.
  std::optional<Clock::time_point> Deadline() const;
  // True once, after a line had to be cut (so the caller logs it once per line).
  bool TakeTruncated();

 private:
  void EndLine(std::vector<std::string>& out);

  const size_t maxRequest_;
  const std::chrono::milliseconds quietTime_;
  std::string pending_;
  bool dropping_ = false;   // the current line was cut; skip to its end
  bool afterCr_ = false;    // an LF right after a CR ends nothing
  bool truncated_ = false;
  Clock::time_point lastByte_{};
};

}  // namespace vorlane::termserver
