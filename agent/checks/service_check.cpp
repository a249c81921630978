#include "agent/checks/service_check.h"

#include <memory>
#include <utility>

#include "agent/log/agent_log.h"
#include "agent/request/answer.h"
#include "agent/request/record.h"
#include "agent/request/reply.h"

namespace vorlane::agent {
namespace {

constexpr std::string_view kConnectFailedAnswer =
    "#keycount=3#responseaction=runcheck#checkid=NTSC#errormessage=ERROR: could not connect to hostname. Reason: %s#";
constexpr std::string_view kRunningAnswer =
    "#keycount=3#responseaction=runcheck#checkid=NTSC#result=up#resultstring=%s is running#";
constexpr std::string_view kNotRunningAnswer =
    "#keycount=3#responseaction=runcheck#checkid=NTSC#result=down#resultstring=%s is not running#";

constexpr std::string_view kNoServiceManager = "Could not ask the service manager: %s";
constexpr std::string_view kNoRemoteServiceManager = "The service manager of %s cannot be asked from this host.";

}  // namespace

ServiceList FormatRunningServiceList(const std::vector<platform::ServiceStatus>& services) {
  ServiceList list;
  for (const platform::ServiceStatus& service : services) {
    if (!service.Running() || !FitsInAnswerValue(service.name)) continue;
    ++list.count;
    list.text += FormatAnswer("#value%d=%s", {list.count, service.name});
  }
  return list;
}

ServiceList ListRunningServices(CheckHost& host) {
  Result<std::vector<platform::ServiceStatus>> services = host.ListActiveServices();
  if (!services) {
    Log(FormatAnswer(kNoServiceManager, {services.error().message}), kLogError);
    return {};
  }
  return FormatRunningServiceList(services.value());
}

ServiceList ListRunningServices(std::string_view host) {
  if (host.empty()) return ListRunningServices(LocalCheckHost());
  Log(FormatAnswer(kNoRemoteServiceManager, {host}), kLogInfo);
  return {};
}

bool IsServiceRunning(CheckHost& host, std::string_view name) {
  const Result<platform::ServiceStatus> status = host.QueryService(name);
  return status.ok() && status.value().Running();
}

void RunServiceCheck(UserHandle& user, const std::string& record, int32_t serviceIndex, RemoteConnector& connector) {
  const std::string service = GetRecordValue(record, kKeyService);
  const RemoteHostRequest remote = ReadRemoteHostRequest(record);
  OnRequestedHost(connector, remote, user, serviceIndex, kConnectFailedAnswer, [&](CheckHost& host) {
    const bool running = IsServiceRunning(host, service);
    // The name is echoed as the request gave it, which may hold line ends.
    Reply(user, FormatAnswer(running ? kRunningAnswer : kNotRunningAnswer, {AsAnswerText(service)}), serviceIndex);
  });
}

void HandleServiceCheck(AgentContext& /*context*/, UserHandle& user, const std::string& record,
                        int32_t serviceIndex) {
  const std::unique_ptr<RemoteConnector> connector = NewRemoteConnector();
  RunServiceCheck(user, record, serviceIndex, *connector);
}

}  // namespace vorlane::agent
