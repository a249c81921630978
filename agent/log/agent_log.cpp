#include "agent/log/agent_log.h"

#include "platform/debuglog/debuglog.h"

namespace vorlane::agent {
namespace {

constexpr std::string_view kInfoPrefix = "-- i -- ";
constexpr std::string_view kOutgoingPrefix = "---> ";
constexpr std::string_view kIncomingPrefix = "<--- ";
constexpr std::string_view kErrorPrefix = "-- ERR -- ";
constexpr std::string_view kLineEnd = "\r\n";

std::string_view PrefixFor(int kind) {
  switch (kind) {
    case kLogOutgoing: return kOutgoingPrefix;
    case kLogIncoming: return kIncomingPrefix;
    case kLogError: return kErrorPrefix;
    default: return kInfoPrefix;
  }
}

}  // namespace

std::string FormatLogLine(std::string_view msg, int kind) {
  std::string_view prefix = PrefixFor(kind);
  std::string line;
  line.reserve(prefix.size() + msg.size() + kLineEnd.size());
  line.append(prefix).append(msg).append(kLineEnd);
  return line;
}

void Log(std::string_view msg, int kind) { debuglog::Write(FormatLogLine(msg, kind)); }

}  // namespace vorlane::agent
