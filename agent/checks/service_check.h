// The service check: whether a named service runs on the agent's host (or on a named host),
// and the list of running services that the service check's definition offers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "agent/checks/remote_host.h"
#include "agent/request/agent_context.h"
#include "agent/request/user_handle.h"
#include "platform/service/service_manager.h"

namespace vorlane::agent {

inline constexpr std::string_view kKeyService = "Service";

// "#value1=<name>#value2=<name>..." (no '#' after the last) with one entry per running service,
// and the number of entries. An empty text means no list could be built.
struct ServiceList {
  std::string text;
  int32_t count = 0;
};

// The list of the running services among `services`, in their order; services that are active
// but not running (reloading, starting, stopping) use no number, and a name that could not stand
// in an answer is left out.
ServiceList FormatRunningServiceList(const std::vector<platform::ServiceStatus>& services);

// The running services of `host`; the empty list when its service manager cannot be asked.
ServiceList ListRunningServices(CheckHost& host);
// The same for a host named without a connection: empty is this host, any other name has no
// manager that can be asked without one, so it gives the empty list.
ServiceList ListRunningServices(std::string_view host);

// Whether the service with the key name `name` (any letter case) runs on `host`; every failure
// to find out counts as not running.
bool IsServiceRunning(CheckHost& host, std::string_view name);

// The check: reads the parameters from `record`, connects to a named host (else asks this host)
// and disconnects again.
CheckOutcome ServiceCheckOutcome(const std::string& record, RemoteConnector& connector);

// "NTSC" (also "NTSC1"): the check with the agent's remote connector.
extern const CheckDeclaration kServiceCheck;

}  // namespace vorlane::agent
