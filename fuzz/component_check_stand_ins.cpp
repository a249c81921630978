// The fuzzed dispatcher is built without the component runtime: the handlers of the checks that
// run inside components stand here, refusing. The fuzzer never registers them; the catalogue
// only needs their declarations.
#include "agent/checks/ping_check.h"
#include "agent/checks/tcp_check.h"
#include "agent/checks/url_check.h"

namespace vorlane::agent {

CheckOutcome RunPingCheckThroughTheComponent(AgentContext& /*context*/, const std::string& /*record*/) {
  return CheckOutcome::Error("not built into the fuzzer");
}
CheckOutcome RunTcpCheckThroughTheComponent(AgentContext& /*context*/, const std::string& /*record*/) {
  return CheckOutcome::Error("not built into the fuzzer");
}
CheckOutcome RunUrlCheckThroughTheAgentsClient(AgentContext& /*context*/, const std::string& /*record*/) {
  return CheckOutcome::Error("not built into the fuzzer");
}

}  // namespace vorlane::agent
