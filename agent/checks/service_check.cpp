#include "agent/checks/service_check.h"

#include <optional>
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

// The local service manager, or nothing (logged) when there is none to ask.
std::optional<platform::ServiceManager> OpenServiceManager(std::string_view host) {
  if (!host.empty()) {
    Log(FormatAnswer(kNoRemoteServiceManager, {host}), kLogInfo);
    return std::nullopt;
  }
  Result<platform::ServiceManager> manager = platform::ServiceManager::Open();
  if (!manager) {
    Log(FormatAnswer(kNoServiceManager, {manager.error().message}), kLogError);
    return std::nullopt;
  }
  return std::move(manager).value();
}

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

ServiceList ListRunningServices(std::string_view host) {
  std::optional<platform::ServiceManager> manager = OpenServiceManager(host);
  if (!manager) return {};
  Result<std::vector<platform::ServiceStatus>> services = manager->ListActiveServices();
  if (!services) {
    Log(FormatAnswer(kNoServiceManager, {services.error().message}), kLogError);
    return {};
  }
  return FormatRunningServiceList(services.value());
}

bool IsServiceRunning(std::string_view host, std::string_view name) {
  std::optional<platform::ServiceManager> manager = OpenServiceManager(host);
  if (!manager) return false;
  const Result<platform::ServiceStatus> status = manager->QueryService(name);
  return status.ok() && status.value().Running();
}

void RunServiceCheck(UserHandle& user, const std::string& record, int32_t serviceIndex, RemoteConnector& connector) {
  const std::string service = GetRecordValue(record, kKeyService);
  const RemoteHostRequest remote = ReadRemoteHostRequest(record);
  OnRequestedHost(connector, remote, user, serviceIndex, kConnectFailedAnswer, [&] {
    const bool running = IsServiceRunning(remote.host, service);
    Reply(user, FormatAnswer(running ? kRunningAnswer : kNotRunningAnswer, {service}), serviceIndex);
  });
}

void HandleServiceCheck(AgentContext& /*context*/, UserHandle& user, const std::string& record,
                        int32_t serviceIndex) {
  RunServiceCheck(user, record, serviceIndex, DefaultRemoteConnector());
}

}  // namespace vorlane::agent
