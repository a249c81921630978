#include "testing/debug_capture.h"

#include <unistd.h>

#include <sstream>

#include "platform/debuglog/debuglog.h"
#include "testing/poll_until.h"

namespace vorlane::testkit {

DebugCapture::DebugCapture() : file_(::tmpfile()), previous_(debuglog::RedirectForTesting(::fileno(file_))) {}

DebugCapture::~DebugCapture() {
  debuglog::RedirectForTesting(previous_);
  ::fclose(file_);
}

std::string DebugCapture::Text() const {
  // pread leaves the writers' file offset alone.
  std::string text;
  char buffer[4096];
  off_t offset = 0;
  for (ssize_t n; (n = ::pread(::fileno(file_), buffer, sizeof buffer, offset)) > 0; offset += n) {
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

std::vector<std::string> DebugCapture::Lines() const {
  std::vector<std::string> lines;
  std::istringstream in(Text());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string DebugCapture::WaitFor(std::string_view needle, std::chrono::milliseconds limit) const {
  std::string text;
  PollUntil([&] { return (text = Text()).find(needle) != std::string::npos; }, limit, 10ms);
  return text;
}

}  // namespace vorlane::testkit
