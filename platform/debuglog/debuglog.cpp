#include "platform/debuglog/debuglog.h"

#include <errno.h>
#include <unistd.h>

#include <mutex>

#include "platform/base/utf8.h"

namespace vorlane::debuglog {
namespace {

std::mutex g_outputLock;
int g_outputFd = STDERR_FILENO;  // guarded by g_outputLock

// U+0085 NEXT LINE, U+2028 LINE SEPARATOR and U+2029 PARAGRAPH SEPARATOR: readers of the log
// that follow Unicode take them as line breaks, so they are escaped like CR and LF.
constexpr char32_t kNextLine = 0x0085;
constexpr char32_t kLineSeparator = 0x2028;
constexpr char32_t kParagraphSeparator = 0x2029;

void AppendHex(std::string& out, unsigned char c) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\x";
  out += kHex[c >> 4];
  out += kHex[c & 0x0f];
}

void AppendEscaped(std::string& out, unsigned char c) {
  switch (c) {
    case '\r': out += "\\r"; return;
    case '\n': out += "\\n"; return;
    case '\t': out += '\t'; return;
    default: break;
  }
  if (c < 0x20 || c == 0x7f) {
    AppendHex(out, c);
  } else {
    out += static_cast<char>(c);
  }
}

}  // namespace

std::string ToLine(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  std::string line;
  line.reserve(text.size() + 1);
  for (size_t i = 0; i < text.size();) {
    // A run of printable ASCII, most of any line, goes as it is.
    size_t plain = i;
    while (plain < text.size() && static_cast<unsigned char>(text[plain]) >= 0x20 &&
           static_cast<unsigned char>(text[plain]) < 0x7f) {
      ++plain;
    }
    if (plain > i) {
      line.append(text.substr(i, plain - i));
      i = plain;
      continue;
    }
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      AppendEscaped(line, c);
      ++i;
      continue;
    }
    // Bytes that are no UTF-8 (names and arguments come from the network as they are) would make
    // the journal keep the whole line as binary data, so each is written as an escape.
    const utf8::Sequence sequence = utf8::DecodeAt(text, i);
    if (sequence.length == 0) {
      AppendHex(line, c);
      ++i;
      continue;
    }
    if (sequence.value == kNextLine) {
      line += "\\u0085";
    } else if (sequence.value == kLineSeparator) {
      line += "\\u2028";
    } else if (sequence.value == kParagraphSeparator) {
      line += "\\u2029";
    } else {
      line.append(text.substr(i, sequence.length));
    }
    i += sequence.length;
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
