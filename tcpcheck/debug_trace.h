// The TCP check component's formatted debug lines: printf-style into a bounded buffer, one
// debug line per call.
#pragma once

#include <cstddef>

namespace vorlane::tcpcheck {

// Room for one formatted line; longer texts are cut.
inline constexpr size_t kTraceBufferSize = 2048;

// Formats and writes one line. A failure while formatting writes
// "CtqCollPings::Exception in logf\n" instead.
void DebugTrace(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));

}  // namespace vorlane::tcpcheck
