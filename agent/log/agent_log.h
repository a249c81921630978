// The agent log: one function, one line per message, prefixed by the message's kind, written to
// the debug output. There is no log file.
#pragma once

#include <string>
#include <string_view>

namespace vorlane::agent {

enum LogKind : int {
  kLogInfo = 0,
  kLogOutgoing = 1,  // an answer sent to the client
  kLogIncoming = 2,  // a request received
  kLogError = 3,
};

// The formatted line, line end included. Kinds other than the four above are information.
std::string FormatLogLine(std::string_view msg, int kind);

void Log(std::string_view msg, int kind);

}  // namespace vorlane::agent
