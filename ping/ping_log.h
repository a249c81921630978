// The ping component's debug lines: printf-style formatting into a bounded buffer, one debug
// line per call, optionally while holding a lock.
#pragma once

#include <mutex>

namespace vorlane::ping {

// Room for one formatted line; longer texts are cut (never mid-character).
inline constexpr size_t kLogBufferSize = 2048;

// Formats and writes one line. With `lock`, the line is written while holding it. A failure
// while formatting writes "CtqCollPings::Exception in logf\n" instead.
void Logf(std::mutex* lock, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace vorlane::ping
