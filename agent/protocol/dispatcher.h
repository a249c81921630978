// The request dispatcher: one received request record in, at most one answer record out.
#pragma once

#include <cstdint>
#include <string_view>

#include "agent/request/agent_context.h"
#include "agent/protocol/check_registry.h"
#include "agent/request/user_handle.h"

namespace vorlane::agent {

// The version agentinfo reports.
inline constexpr std::string_view kAgentVersion = "1.5.6.3";

// The body of the Received event: reads the request (charCount characters) from `user`, logs
// it, checks and renews the session and runs the operation it names. A count of 0 (or less) is
// ignored. Every answer goes out with `serviceIndex` and is logged as outgoing; logout sends
// nothing, and getcomboparamvalues for a check without value lists answers "Check not found". runcheck hands the request to the
// handler that `checks` holds for its checkid and answers "Unknown check" when there is none.
void DispatchRequest(AgentContext& context, const CheckRegistry& checks, UserHandle& user, int32_t serviceIndex,
                     int32_t charCount);

// Whether the request may wait on the network or another host before it is answered: a check
// run, or the value list of a check that may ask a named host. Every other request is answered
// from this host's own state at once.
bool MayWait(std::string_view record);

// The same with no check handlers: every runcheck answers "Unknown check".
void DispatchRequest(AgentContext& context, UserHandle& user, int32_t serviceIndex, int32_t charCount);

}  // namespace vorlane::agent
