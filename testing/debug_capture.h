// The debug log (platform/debuglog) captured into a temporary file for the life of the object,
// readable at any time while writers keep going.
#pragma once

#include <stdio.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace vorlane::testkit {

class DebugCapture {
 public:
  DebugCapture();
  ~DebugCapture();
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;

  // Everything written so far.
  std::string Text() const;
  // The same, one entry per line.
  std::vector<std::string> Lines() const;
  // Polls until `needle` has been written or `limit` passed; everything written by then.
  std::string WaitFor(std::string_view needle, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

 private:
  FILE* file_;
  int previous_;
};

}  // namespace vorlane::testkit
