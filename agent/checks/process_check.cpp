#include "agent/checks/process_check.h"

#include <array>
#include <memory>
#include <unordered_set>
#include <utility>

#include "agent/request/answer.h"
#include "agent/request/record.h"
#include "platform/process/process_table.h"

namespace vorlane::agent {
namespace {

constexpr std::string_view kEnumerationFailedText =
    "ERROR: Could not get the running processes! \r\nError code: 0x%X. %s";

constexpr std::string_view kAtLeastText = "There is/are at least %d process(es) named %s running";
constexpr std::string_view kLessThanText = "There are less than %d processes named %s running";

}  // namespace

ProcessNameList BuildProcessNameList(
    const std::function<uint32_t(const std::function<void(std::string_view)>&)>& visitAll) {
  ProcessNameList list;
  std::string text = "#";
  // Each name once, spelled exactly as first seen: names that differ only in case are distinct
  // processes on this system and are listed apart.
  std::unordered_set<std::string> listed;
  const uint32_t status = visitAll([&](std::string_view name) {
    if (platform::SameInstanceName(name, platform::kTotalInstance) || !FitsInAnswerValue(name)) return;
    if (!listed.emplace(name).second) return;
    ++list.count;
    text += FormatAnswer("value%d=%s#", {list.count, name});
  });
  if (status != platform::kProcessStatusOk) return {{}, 0, status};
  list.text = std::move(text);
  return list;
}

ProcessNameList ListProcessNames(CheckHost& host) {
  return BuildProcessNameList(
      [&host](const std::function<void(std::string_view)>& visit) { return host.ForEachProcessInstance(visit); });
}

ProcessNameList ListProcessNames(std::string_view host) {
  return ListProcessNames(host.empty() ? LocalCheckHost() : UnreachableCheckHost());
}

ProcessCountResult CountProcesses(CheckHost& host, std::string_view name) {
  int32_t count = 0;
  const uint32_t status = host.ForEachProcessInstance([&](std::string_view instance) {
    if (platform::SameInstanceName(instance, name)) ++count;
  });
  if (status != platform::kProcessStatusOk) return {-1, status};
  return {count, platform::kProcessStatusOk};
}

ProcessCheckResult EvaluateProcessCount(std::string_view type, int32_t count, int32_t number, std::string_view name) {
  const bool atLeastNumber = count >= number;
  const std::string_view text = atLeastNumber ? kAtLeastText : kLessThanText;
  // "less than" is down when fewer than the number run; "at least" is down when that many run.
  if (type == kTypeLessThan) return {atLeastNumber, FormatAnswer(text, {number, name})};
  if (type == kTypeAtLeast) return {!atLeastNumber, FormatAnswer(text, {number, name})};
  return {false, {}};
}

std::string ProcessEnumerationFailedText(uint32_t status) {
  return FormatAnswer(kEnumerationFailedText, {static_cast<long long>(status), platform::ProcessStatusText(status)});
}

CheckOutcome ProcessCheckOutcome(const std::string& record, RemoteConnector& connector) {
  const std::string name = GetRecordValue(record, kKeyProcessName);
  const std::string type = GetRecordValue(record, kKeyType);
  const int32_t number = ParseRecordNumber(FindRecordValue(record, kKeyNumber));
  return OnRequestedHost(connector, ReadRemoteHostRequest(record), [&](CheckHost& host) {
    const ProcessCountResult counted = CountProcesses(host, name);
    if (counted.status != platform::kProcessStatusOk) {
      return CheckOutcome::Error(ProcessEnumerationFailedText(counted.status));
    }
    // The name as the answer names it: a control character would split or cut the answer. (A name
    // with a NUL inside matches no process: names hold none.)
    ProcessCheckResult result = EvaluateProcessCount(type, counted.count, number, AsAnswerText(name));
    return CheckOutcome::Judged(result.up, std::move(result.text));
  });
}

namespace {

constexpr std::array kTypes = {kTypeLessThan, kTypeAtLeast};
constexpr std::array kProcessParams = {
    HostListParam(kKeyProcessName, kRemoteHostKeys),
    ChoiceParam(kKeyType, kTypes),
    NumberParam(kKeyNumber, 255),
    TextParam(kKeyHostname, 255),
    BooleanParam(kKeyUseAuthentication),
    TextParam(kKeyUsername, std::nullopt, 5),
    TextParam(kKeyPassword, std::nullopt, 5),
};

CheckOutcome RunWithAgentConnector(AgentContext& /*context*/, const std::string& record) {
  return WithAgentConnector([&](RemoteConnector& connector) { return ProcessCheckOutcome(record, connector); });
}

HostValuesOrError ThisHostsProcesses(const std::filesystem::path& /*tcpConfig*/) {
  ProcessNameList processes = ListProcessNames(LocalCheckHost());
  if (processes.status != platform::kProcessStatusOk) return ProcessEnumerationFailedText(processes.status);
  return HostValues{processes.count, std::move(processes.text), std::nullopt};
}

}  // namespace

const CheckDeclaration kProcessCheck{
    "NTPC", "NTPC2", "NT ProcessCheck", kProcessParams, RunWithAgentConnector, ThisHostsProcesses, nullptr};

}  // namespace vorlane::agent
