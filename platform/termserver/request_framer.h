// Cuts the bytes a client sends into requests. A request ends
//  - at a line end (CR, LF or CR LF);
//  - at a record boundary: a '#' directly followed by the '#' that opens a new record
//    ("...##keycount=" or "...##requestaction="), so two records are never merged, with or
//    without line ends between them;
//  - for a client that sends no line ends, as soon as what has arrived ends with '#' and is a
//    whole record: it holds its requestaction and sessionid pairs (every request has both) and,
//    when it opens with a numeric keycount, at least that many pairs after it. Such a client
//    waits for nothing, however it sends its records;
//  - when it ends with '#' but cannot be whole yet, after a quiet time: kHashRequestQuietTime
//    once it holds both pairs (only its keycount asks for more), kPartialRequestQuietTime while
//    it lacks one (a writer that paused after the first pairs goes on in one request).
// Once the client has ended a request with a line end, only line ends and record boundaries
// end its requests, so that a pause after any '#' inside its record (a slow writer, a
// retransmitted segment) is no end; a whole record it leaves without a line end still ends
// after kPartialRequestQuietTime, so that it is answered rather than held for ever.
// A request longer than the limit is delivered cut to the limit, and the rest of it, up to the
// next line end or record boundary, is dropped. One framer serves one byte stream (a Telnet
// connection, an SSH channel).
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
                         std::chrono::milliseconds quietTime = kHashRequestQuietTime,
                         std::chrono::milliseconds partialQuietTime = kPartialRequestQuietTime)
      : maxRequest_(maxRequest), quietTime_(quietTime), partialQuietTime_(partialQuietTime) {}

  // Adds received bytes; returns the requests they completed, in order.
  std::vector<std::string> Feed(std::string_view bytes, Clock::time_point now);
  // The request that ended with '#' and has been quiet long enough, if any.
  std::optional<std::string> Poll(Clock::time_point now);
  // When Poll may next have something: the end of the quiet time, or nothing.
  std::optional<Clock::time_point> Deadline() const;
  // True once, after a line had to be cut (so the caller logs it once per line).
  bool TakeTruncated();
  // The client sends nothing more: the rules of a client without line ends apply again, as no
  // line end can come to end the last request.
  void EndOfInput();

 private:
  // What the pairs of the pending text tell, kept up to date byte by byte.
  struct Pairs {
    size_t lastHash = std::string::npos;  // where the last '#' of the pending text is
    size_t closed = 0;                    // pairs closed by a '#'
    bool action = false;                  // a closed requestaction pair
    bool session = false;                 // a closed sessionid pair
    std::optional<size_t> keycount;       // the value of an opening keycount pair, when numeric
  };

  void Take(char c, std::vector<std::string>& out);
  void Append(char c, std::vector<std::string>& out);
  void EndLine(std::vector<std::string>& out);
  // The pending text, which starts anew.
  std::string TakePending();
  // A '#' closed the pair that began after the previous one.
  void ClosePair();
  // The pending text from `from` on begins a new record: what is before it is a request.
  void SplitAt(size_t from, std::vector<std::string>& out);
  bool Whole() const;
  // How long the pending text waits for more before it is a request; nothing when only a line
  // end or a boundary can end it.
  std::optional<std::chrono::milliseconds> QuietTime() const;

  const size_t maxRequest_;
  const std::chrono::milliseconds quietTime_;
  const std::chrono::milliseconds partialQuietTime_;
  std::string pending_;
  Pairs pairs_;
  // The current line was cut: skip to its end or to the next record boundary, which the last
  // bytes seen tell.
  bool dropping_ = false;
  std::string droppedTail_;
  bool afterCr_ = false;  // an LF right after a CR ends nothing
  bool truncated_ = false;
  bool endsWithLineEnds_ = false;  // a line end has ended a request: the quiet rule is off
  bool endedBare_ = false;         // the last request ended without a line end; nothing came since
  Clock::time_point lastByte_{};
};

}  // namespace vorlane::termserver
