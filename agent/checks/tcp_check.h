// The TCP check: one dialogue job of the TCP check component (created by class id) against a
// host and port, with the exchange the protocol table gives for the chosen protocol; one answer,
// "up" or "down", with the job's result text and the response time.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "agent/checks/check_declaration.h"
#include "agent/request/agent_context.h"
#include "agent/request/user_handle.h"
#include "platform/com/com_ptr.h"
#include "tcpcheck/portwick.h"

namespace vorlane::agent {

// The check's request keys.
inline constexpr std::string_view kKeyTcpHost = "Hostname";
inline constexpr std::string_view kKeyTcpProtocol = "Protocol";
inline constexpr std::string_view kKeyTcpPort = "Port";
inline constexpr std::string_view kKeyTcpTimeout = "Timeout (sec.)";

// Creates a TCP check collection; the agent's own creates it by class id through the class registry.
using TcpCollectionFactory = std::function<com::HRESULT(com::ComPtr<tcpcheck::ItqCollThTCP>*)>;
com::HRESULT CreateTcpCollection(com::ComPtr<tcpcheck::ItqCollThTCP>* collection);

// How long the check waits for a started job. The check wakes at the collection's JobDone for
// its job. The component bounds the dialogue by the job's timeout from its start and the connect
// by the same timeout; name resolution comes on top. The wait ends after twice the timeout plus
// `margin`, so that a job that never ends cannot stall the agent. Every `recheck` the job is
// asked whether it still runs, for a component whose JobDone does not come.
struct TcpWait {
  std::chrono::milliseconds recheck{500};
  std::chrono::milliseconds margin{60000};
};

// The protocol's name in a "Protocol" value: what comes before its last ':' (all of it without one).
std::string_view TcpProtocolName(std::string_view value);

// Whether the job should connect over IPv6: `host` is an IPv6 address, or a name that resolves to
// IPv6 addresses only.
bool PrefersIpv6(const std::string& host);

// The check: reads the parameters from `record`, the protocol from `table`, runs one job of a
// collection made by `create`.
CheckOutcome TcpCheckOutcome(const std::string& record, const std::filesystem::path& table,
                             const TcpCollectionFactory& create, const TcpWait& wait = {});

// The handler of "TCP": the check through the TCP check component created by class id. The
// check is offered while the protocol table can be read.
CheckOutcome RunTcpCheckThroughTheComponent(AgentContext& context, const std::string& record);
extern const CheckDeclaration kTcpCheck;

}  // namespace vorlane::agent
