// The host a check asks for its data: this host, or another one reached through a connection.
// The checks format their answers from what a host returns, so a check answers alike whichever
// host it ran on.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/result.h"
#include "platform/service/service_manager.h"

namespace vorlane::agent {

// Byte counts of one volume: its size and all its free bytes (not only those a quota leaves to
// the agent's account).
struct VolumeSpace {
  uint64_t totalBytes = 0;
  uint64_t freeBytes = 0;
};

class CheckHost {
 public:
  virtual ~CheckHost() = default;

  // The services in an active state, in the order the host's service manager lists them.
  virtual Result<std::vector<platform::ServiceStatus>> ListActiveServices() = 0;
  // The loaded service whose key name equals `name` without regard to letter case, an exact
  // match first.
  virtual Result<platform::ServiceStatus> QueryService(std::string_view name) = 0;
  // Each instance name of the host's "Process" object (processes by ascending id, then
  // "_Total"); the enumeration status (platform/process codes), no visit when it failed.
  virtual uint32_t ForEachProcessInstance(const std::function<void(std::string_view name)>& visit) = 0;
  // The volume holding `path`, exactly as given; nothing when it cannot be measured.
  virtual std::optional<VolumeSpace> QueryVolumeSpace(const std::string& path) = 0;
};

// The system's answer for `path` on this host (statvfs: total = f_blocks * f_frsize, free =
// f_bfree * f_frsize); nothing for a path with a NUL inside, which names no file.
std::optional<VolumeSpace> QueryVolumeSpace(const std::string& path);

// This host: the service manager on the system bus, /proc and statvfs.
CheckHost& LocalCheckHost();

// A host that cannot be asked anything: no service manager, no process table (the "no such
// machine" status), no volume. It stands for a named host that no connection reaches.
CheckHost& UnreachableCheckHost();

// The service found among `services` for `name`: the exact key name first, else one that
// differs only in letter case (ASCII).
std::optional<platform::ServiceStatus> FindService(const std::vector<platform::ServiceStatus>& services,
                                                   std::string_view name);

}  // namespace vorlane::agent
