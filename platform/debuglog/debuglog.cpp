#include "platform/debuglog/debuglog.h"

#include <errno.h>
#include <unistd.h>

#include <mutex>

namespace vorlane::debuglog {
namespace {

std::mutex g_outputLock;
int g_outputFd = STDERR_FILENO;  // guarded by g_outputLock

// U+2028 LINE SEPARATOR and U+2029 PARAGRAPH SEPARATOR in UTF-8: readers of the log that follow
// Unicode take them as line breaks, so they are escaped like CR and LF.
constexpr std::string_view kLineSeparator = "\xe2\x80\xa8";
constexpr std::string_view kParagraphSeparator = "\xe2\x80\xa9";

void AppendEscaped(std::string& out, unsigned char c) {
  static constexpr char kHex[] = "0123456789abcdef";
  switch (c) {
    case '\r': out += "\\r"; return;
    case '\n': out += "\\n"; return;
    case '\t': out += '\t'; return;
    default: break;
  }
  if (c < 0x20 || c == 0x7f) {
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 0x0f];
  } else {
    out += static_cast<char>(c);
  }
}

}  // namespace

std::string ToLine(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  std::string line;
  line.reserve(text.size() + 1);
  for (size_t i = 0; i < text.size(); ++i) {
    const std::string_view rest = text.substr(i);
    if (rest.starts_with(kLineSeparator)) {
      line += "\\u2028";
      i += kLineSeparator.size() - 1;
    } else if (rest.starts_with(kParagraphSeparator)) {
      line += "\\u2029";
      i += kParagraphSeparator.size() - 1;
    } else {
      AppendEscaped(line, static_cast<unsigned char>(text[i]));
    }
  }
  return line;
}

void Write(std::string_view text) {
  std::string line = ToLine(text);
  line += '\n';
  std::lock_guard lock(g_outputLock);
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(g_outputFd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere else to report a failing log
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

int RedirectForTesting(int fd) {
  std::lock_guard lock(g_outputLock);
  int previous = g_outputFd;
  g_outputFd = fd;
  return previous;
}

}  // namespace vorlane::debuglog
