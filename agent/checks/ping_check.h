// The ping check: one ping job through the ping component (created by class id), the success
// rate judged against the request's threshold, one answer.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "agent/checks/check_declaration.h"
#include "agent/request/agent_context.h"
#include "agent/request/user_handle.h"
#include "ping/sondrel.h"
#include "platform/com/com_ptr.h"

namespace vorlane::agent {

// The check's request keys.
inline constexpr std::string_view kKeyPingHost = "Hostname";
inline constexpr std::string_view kKeyPingFrames = "Number of frames";
inline constexpr std::string_view kKeyPingSuccessRate = "Success rate";
inline constexpr std::string_view kKeyPingTimeout = "Timeout";
inline constexpr std::string_view kKeyPingTos = "TOS";
inline constexpr std::string_view kKeyPingCheckTos = "Check TOS-byte consistency";

// Creates a ping collection; the agent's own creates it by class id through the class registry.
using PingCollectionFactory = std::function<com::HRESULT(com::ComPtr<ping::ItqCollPings>*)>;
com::HRESULT CreatePingCollection(com::ComPtr<ping::ItqCollPings>* collection);

// How long the check waits for a job that has been started. The check wakes at the collection's
// PingDone for its element; the component bounds a job by its timeout (at most 32 s of pinging),
// name resolution and a notification of at most 10 s; the wait ends after the job's timeout plus
// `margin`, so that a job that never ends cannot stall the agent. Every `recheck` the element is
// asked whether it still runs, for a component whose PingDone does not come.
struct PingWait {
  std::chrono::milliseconds recheck{500};
  std::chrono::milliseconds margin{60000};
};

// The distinct failure descriptions of an element's error message ("n: text| " items), in the
// order of their first appearance, joined by ", ".
std::string FormatPingErrors(std::string_view errorMessage);

// The check: reads the parameters from `record` and pings through a collection made by `create`.
CheckOutcome PingCheckOutcome(const std::string& record, const PingCollectionFactory& create,
                              const PingWait& wait = {});

// The handler of "PING" (also "PING4"): the check through the ping component created by class id.
CheckOutcome RunPingCheckThroughTheComponent(AgentContext& context, const std::string& record);
extern const CheckDeclaration kPingCheck;

}  // namespace vorlane::agent
