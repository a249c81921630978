#include "agent/checks/service_check.h"

#include <array>
#include <memory>
#include <utility>

#include "agent/log/agent_log.h"
#include "agent/request/answer.h"
#include "agent/request/record.h"

namespace vorlane::agent {
namespace {

constexpr std::string_view kRunningText = "%s is running";
constexpr std::string_view kNotRunningText = "%s is not running";
constexpr std::string_view kNoServicesText = "ERROR: Could not get the running services!";

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

CheckOutcome ServiceCheckOutcome(const std::string& record, RemoteConnector& connector) {
  const std::string service = GetRecordValue(record, kKeyService);
  return OnRequestedHost(connector, ReadRemoteHostRequest(record), [&](CheckHost& host) {
    const bool running = IsServiceRunning(host, service);
    // The name is echoed as the request gave it, which may hold line ends.
    return CheckOutcome::Judged(running,
                                FormatAnswer(running ? kRunningText : kNotRunningText, {AsAnswerText(service)}));
  });
}

namespace {

constexpr std::array kServiceParams = {
    TextParam(kKeyHostname, 255),
    [] {
      ParamDeclaration service = HostListParam(kKeyService, kRemoteHostKeys);
      service.emptyPairAfter = true;
      return service;
    }(),
    BooleanParam(kKeyUseAuthentication),
    TextParam(kKeyUsername, std::nullopt, 3),
    TextParam(kKeyPassword, std::nullopt, 3),
};

CheckOutcome RunWithAgentConnector(AgentContext& /*context*/, const std::string& record) {
  return WithAgentConnector([&](RemoteConnector& connector) { return ServiceCheckOutcome(record, connector); });
}

HostValuesOrError ThisHostsServices(const std::filesystem::path& /*tcpConfig*/) {
  ServiceList services = ListRunningServices(LocalCheckHost());
  if (services.text.empty()) return std::string(kNoServicesText);
  return HostValues{services.count, std::move(services.text), std::nullopt};
}

}  // namespace

const CheckDeclaration kServiceCheck{
    "NTSC", "NTSC1", "NT ServiceCheck", kServiceParams, RunWithAgentConnector, ThisHostsServices, nullptr};

}  // namespace vorlane::agent
