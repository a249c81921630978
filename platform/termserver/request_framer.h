// Cuts the bytes a client sends into requests: a request ends at a line end (CR, LF or CR LF),
// or, for clients that send no line end, when it ends with '#' and nothing follows for a
// moment. Once the client has ended a request with a line end, only line ends end its requests:
// a pause after a '#' inside its record (a slow writer, a retransmitted segment) is no end.
// A line longer than the limit is delivered cut to the limit, and the rest of it, up to the next
// line end, is dropped. One framer serves one byte stream (a Telnet connection, an SSH channel).
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
  // The client sends nothing more: a request ending with '#' completes after the quiet time
  // again, as no line end can come to end it.
  void EndOfInput() { endsWithLineEnds_ = false; }

 private:
  void EndLine(std::vector<std::string>& out);
  // A request ending with '#' waits for the quiet time to complete it.
  bool AwaitsQuiet() const;

  const size_t maxRequest_;
  const std::chrono::milliseconds quietTime_;
  std::string pending_;
  bool dropping_ = false;   // the current line was cut; skip to its end
  bool afterCr_ = false;    // an LF right after a CR ends nothing
  bool truncated_ = false;
  bool endsWithLineEnds_ = false;  // a line end has ended a request: the quiet rule is off
  bool quietEnded_ = false;        // the quiet rule ended the last request; nothing came since
  Clock::time_point lastByte_{};
};

}  // namespace vorlane::termserver
