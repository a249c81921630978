#include "tcpcheck/debug_trace.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string_view>

#include "platform/debuglog/debuglog.h"

namespace vorlane::tcpcheck {

void DebugTrace(const char* format, ...) noexcept {
  try {
    char buffer[kTraceBufferSize];
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (written < 0) {
      debuglog::Write("CtqCollPings::Exception in logf\n");
      return;
    }
    // The log writes bytes that a cut left incomplete as escapes, so the line stays valid text.
    debuglog::Write(std::string_view(buffer, std::min<size_t>(static_cast<size_t>(written), sizeof buffer - 1)));
  } catch (...) {
    try {
      debuglog::Write("CtqCollPings::Exception in logf\n");
    } catch (...) {
    }
  }
}

}  // namespace vorlane::tcpcheck
