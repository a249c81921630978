#include "ping/ping_log.h"

#include <cstdarg>
#include <cstdio>
#include <optional>
#include <string_view>

#include "platform/debuglog/debuglog.h"

namespace vorlane::ping {

namespace {

// Drops the bytes of a UTF-8 sequence that the cut left incomplete.
std::string_view WholeCharacters(std::string_view text) {
  size_t end = text.size();
  size_t back = 0;
  while (back < 4 && back < end && (static_cast<unsigned char>(text[end - 1 - back]) & 0xC0) == 0x80) ++back;
  if (back < end) {
    const auto lead = static_cast<unsigned char>(text[end - 1 - back]);
    size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (lead >= 0x80 && need != back + 1) end -= back + 1;
  }
  return text.substr(0, end);
}

}  // namespace

void Logf(std::mutex* lock, const char* format, ...) {
  char buffer[kLogBufferSize];
  va_list args;
  va_start(args, format);
  const int written = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  std::string_view line = written < 0
                              ? std::string_view("CtqCollPings::Exception in logf\n")
                              : WholeCharacters(std::string_view(buffer, std::min<size_t>(written, sizeof buffer - 1)));
  try {
    std::optional<std::lock_guard<std::mutex>> guard;
    if (lock != nullptr) guard.emplace(*lock);
    debuglog::Write(line);
  } catch (...) {
    debuglog::Write("CtqCollPings::Exception in logf\n");
  }
}

}  // namespace vorlane::ping
