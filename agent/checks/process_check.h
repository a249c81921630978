// The process check: how many processes of a name run on the agent's host (or a named host),
// compared with a number, and the list of process names the check's definition offers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "agent/checks/remote_host.h"
#include "agent/request/agent_context.h"
#include "agent/request/user_handle.h"

namespace vorlane::agent {

inline constexpr std::string_view kKeyProcessName = "Process name";
inline constexpr std::string_view kKeyType = "Type";
inline constexpr std::string_view kKeyNumber = "Number";

inline constexpr std::string_view kTypeLessThan = "less than";
inline constexpr std::string_view kTypeAtLeast = "at least";

// "#value1=<name>#value2=<name>#..." with each distinct process name once, in the order of first
// appearance, and the number of names; on failure an empty text, count 0 and the status.
struct ProcessNameList {
  std::string text;
  int32_t count = 0;
  uint32_t status = 0;
};

// Builds the list from the instance names `visitAll` hands over (and the status it returns).
// "_Total" (any case) is never listed; names that could not stand in an answer are left out.
ProcessNameList BuildProcessNameList(
    const std::function<uint32_t(const std::function<void(std::string_view)>&)>& visitAll);

// The process names of `host`.
ProcessNameList ListProcessNames(CheckHost& host);
// The process names of a host named without a connection: empty is this host; any other name
// gives the "no such machine" status.
ProcessNameList ListProcessNames(std::string_view host);

struct ProcessCountResult {
  int32_t count = -1;   // -1 on failure
  uint32_t status = 0;  // 0 on success
};

// The number of instances of `host` named `name` without regard to letter case ("_Total"
// included), or -1 with the status that ended the enumeration.
ProcessCountResult CountProcesses(CheckHost& host, std::string_view name);

struct ProcessCheckResult {
  bool up = false;
  std::string text;
};

// The decision by "Type" ("less than" or "at least", compared exactly) for `count` processes
// against `number`; any other type is down with an empty text.
ProcessCheckResult EvaluateProcessCount(std::string_view type, int32_t count, int32_t number, std::string_view name);

// The check with its connector given: connects to a named host (else counts on this host) and
// disconnects again.
CheckOutcome ProcessCheckOutcome(const std::string& record, RemoteConnector& connector);

// The error text of a process enumeration that failed with `status`.
std::string ProcessEnumerationFailedText(uint32_t status);

// "NTPC" (also "NTPC2"): the check with the agent's remote connector.
extern const CheckDeclaration kProcessCheck;

}  // namespace vorlane::agent
