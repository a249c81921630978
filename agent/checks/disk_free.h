// The disk free check: whether the volume of a path has at least a given amount of free space,
// absolute or as a percentage of its size, optionally on another host.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "agent/checks/check_host.h"
#include "agent/checks/remote_host.h"
#include "agent/request/agent_context.h"
#include "agent/request/user_handle.h"

namespace vorlane::agent {

// The check's own request keys (the remote host keys are in remote_host.h).
inline constexpr std::string_view kKeyDriveLetter = "Drive letter";
inline constexpr std::string_view kKeyValue = "Value";
inline constexpr std::string_view kKeyUnit = "Unit";

struct FreeSpaceResult {
  bool up = false;
  std::string text;
};

// The comparison alone. `drive`, `unit` and `value` appear in the text as given.
FreeSpaceResult EvaluateFreeSpace(std::string_view drive, std::string_view unit, uint64_t freeBytes,
                                  uint64_t totalBytes, int32_t value);

// The check with its hosts given: reads the parameters from `record`, connects to a named host
// (else measures on `local`), measures and disconnects again.
CheckOutcome DiskCheckOutcome(const std::string& record, CheckHost& local, RemoteConnector& connector);

// "DC" (also "DC__3"): the check on the real volumes with the agent's remote connector.
extern const CheckDeclaration kDiskCheck;

}  // namespace vorlane::agent
