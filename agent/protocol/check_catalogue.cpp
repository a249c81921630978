#include "agent/protocol/check_catalogue.h"

#include <array>
#include <string>
#include <utility>
#include <variant>

#include "agent/checks/disk_free.h"
#include "agent/checks/ping_check.h"
#include "agent/checks/process_check.h"
#include "agent/checks/service_check.h"
#include "agent/checks/tcp_check.h"
#include "agent/checks/url_check.h"
#include "agent/request/answer.h"
#include "agent/request/record.h"
#include "agent/request/reply.h"
#include "platform/process/process_table.h"

namespace vorlane::agent {
namespace {

// The checks in the order listchecks names them. Adding a check is its declaration and one line
// here.
const std::array<const CheckDeclaration*, 6>& Declarations() {
  static const std::array<const CheckDeclaration*, 6> checks = {&kServiceCheck, &kProcessCheck, &kDiskCheck,
                                                                 &kPingCheck,    &kTcpCheck,     &kUrlCheck};
  return checks;
}

// The count this answer has always carried; servers never read it (twenty pairs follow).
constexpr int kListChecksKeyCount = 17;

constexpr std::string_view kCheckNotFound = "#keycount=2#responseaction=definecheck#errormessage=Check not found#";
constexpr std::string_view kComboCheckNotFound =
    "#keycount=2#responseaction=getcomboparamvalues#errormessage=Check not found#";

constexpr std::string_view kComboServiceConnectFailed =
    "#keycount=3#responseaction=getcomboparamvalues#checkid=NTSC#errormessage=ERROR: could not connect to "
    "hostname. Reason: %s#";
constexpr std::string_view kComboProcessConnectFailed =
    "#keycount=3#responseaction=getcomboparamvalues#checkid=NTPC#errormessage=ERROR: could not connect to "
    "hostname. Reason: %s#";
constexpr std::string_view kComboNoServicesAnswer =
    "#keycount=3#responseaction=getcomboparamvalues#checkid=NTSC#errormessage=ERROR: Could not get the running "
    "services!#";
constexpr std::string_view kComboServicesAnswer =
    "#keycount=3#responseaction=getcomboparamvalues#checkid=NTSC#parameters=\"#paramname2=Service#"
    "paramtype2=listcombo#valuecount=%d%s#\"#";
// "\n\r" (not "\r\n") is how this answer has always been worded.
constexpr std::string_view kComboNoProcessesAnswer =
    "#keycount=3#responseaction=getcomboparamvalues#checkid=NTPC#errormessage=ERROR: Could not get the running "
    "processes! \n\rError code: 0x%X. %s#";
constexpr std::string_view kComboProcessesAnswer =
    "#keycount=3#responseaction=getcomboparamvalues#checkid=NTPC#parameters=\"#paramname1=Process name#"
    "paramtype1=listcombo#valuecount=%d%s#\"#";

std::string_view TypeName(ParamType type) {
  switch (type) {
    case ParamType::kText: return "text";
    case ParamType::kLongInteger: return "longinteger";
    case ParamType::kBoolean: return "boolean";
    case ParamType::kListDrop: return "listdrop";
    case ParamType::kListCombo: return "listcombo";
  }
  return "text";
}

// "key<number>=value#"; a number of 0 is left out.
void AppendPair(std::string& out, std::string_view key, size_t number, std::string_view value) {
  out.append(key);
  if (number > 0) out.append(std::to_string(number));
  out.append("=").append(value).append("#");
}
void AppendPair(std::string& out, std::string_view key, size_t number, long long value) {
  AppendPair(out, key, number, std::to_string(value));
}

void AppendList(std::string& out, std::string_view key, std::span<const std::string_view> values) {
  for (size_t i = 0; i < values.size(); ++i) AppendPair(out, key, i + 1, values[i]);
}

// One parameter's pairs: name, type, the list with its attributes, limit, default, dependency.
void AppendParameter(std::string& out, const ParamDeclaration& param, size_t number, const HostValues* host) {
  AppendPair(out, "paramname", number, param.name);
  AppendPair(out, "paramtype", number, TypeName(param.type));
  if (param.type == ParamType::kListDrop || param.type == ParamType::kListCombo) {
    if (param.hostList && host != nullptr) {
      // The host's list text comes as its builder wrote it ("#value1=...", ending with '#' or not).
      out.append("valuecount=").append(std::to_string(host->count)).append(host->text);
      if (!out.ends_with('#')) out.append("#");
    } else {
      AppendPair(out, "valuecount", 0, static_cast<long long>(param.values.size()));
      AppendList(out, "value", param.values);
    }
    if (!param.refreshWith.empty()) {
      AppendPair(out, "atbutton_paramcount", 0, static_cast<long long>(param.refreshWith.size()));
      AppendList(out, "atbutton_param", param.refreshWith);
    }
    if (param.sorted) AppendPair(out, "sorted", 0, "true");
    if (param.emptyPairAfter) out.append("#");
  }
  if (param.maxLength) AppendPair(out, "maxlength", number, *param.maxLength);
  if (param.hostDefault && host != nullptr && host->defaultValue) {
    AppendPair(out, "default", number, *host->defaultValue);
  } else if (param.defaultValue) {
    AppendPair(out, "default", number, *param.defaultValue);
  }
  if (param.dependsOn > 0) AppendPair(out, "dependson", number, "paramname" + std::to_string(param.dependsOn));
}

std::string DefinitionAnswer(const CheckDeclaration& check, const HostValues* host) {
  std::string out = "#keycount=3#responseaction=definecheck#checkid=";
  out.append(check.id).append("#parameters=\"#");
  for (size_t i = 0; i < check.params.size(); ++i) AppendParameter(out, check.params[i], i + 1, host);
  return out.append("\"#");
}

// The declaration `checkId` names by either identifier, compared byte for byte in listchecks
// order, the alias first.
const CheckDeclaration* FindDeclaration(std::string_view checkId) {
  for (const CheckDeclaration* check : Declarations()) {
    if ((!check->alias.empty() && checkId == check->alias) || checkId == check->id) return check;
  }
  return nullptr;
}

}  // namespace

std::optional<std::string_view> CanonicalCheckId(std::string_view checkId) {
  const CheckDeclaration* check = FindDeclaration(checkId);
  if (check == nullptr) return std::nullopt;
  return check->id;
}

std::span<const CheckDeclaration* const> CheckDeclarations() { return Declarations(); }

std::string ListChecksAnswer(const std::filesystem::path& tcpConfig) {
  std::string out = "#keycount=" + std::to_string(kListChecksKeyCount) + "#responseaction=listchecks#";
  AppendPair(out, "checkcount", 0, static_cast<long long>(Declarations().size()));
  size_t number = 0;
  for (const CheckDeclaration* check : Declarations()) {
    ++number;
    AppendPair(out, "checkid", number, check->id);
    AppendPair(out, "checkdescription", number, check->description);
    AppendPair(out, "available", number, check->available == nullptr || check->available(tcpConfig) ? "true" : "false");
  }
  return out;
}

std::string DefineCheckAnswer(std::string_view checkId, const std::filesystem::path& tcpConfig) {
  const CheckDeclaration* check = FindDeclaration(checkId);
  if (check == nullptr) return std::string(kCheckNotFound);
  if (check->hostValues == nullptr) return DefinitionAnswer(*check, nullptr);
  // The list is built on this host afresh for every definition.
  const HostValuesOrError values = check->hostValues(tcpConfig);
  if (const std::string* error = std::get_if<std::string>(&values)) {
    return FormatCheckAnswer(check->id, CheckOutcome::Error(*error));
  }
  return DefinitionAnswer(*check, &std::get<HostValues>(values));
}

void SendComboValues(UserHandle& user, const std::string& record, int32_t serviceIndex, RemoteConnector& connector) {
  const std::optional<std::string_view> check = CanonicalCheckId(GetRecordValue(record, kKeyCheckId));
  const RemoteHostRequest remote = ReadRemoteHostRequest(record);
  // The answer goes out while the connection is still open; it is cancelled after it.
  if (check == kCheckIdService) {
    const std::optional<std::string> failed = WithRequestedHost(connector, remote, [&](CheckHost& host) {
      const ServiceList services = ListRunningServices(host);
      Reply(user,
            services.text.empty() ? std::string(kComboNoServicesAnswer)
                                  : FormatAnswer(kComboServicesAnswer, {services.count, services.text}),
            serviceIndex);
    });
    if (failed) Reply(user, FormatAnswer(kComboServiceConnectFailed, {*failed}), serviceIndex);
  } else if (check == kCheckIdProcess) {
    const std::optional<std::string> failed = WithRequestedHost(connector, remote, [&](CheckHost& host) {
      const ProcessNameList processes = ListProcessNames(host);
      Reply(user,
            processes.status != platform::kProcessStatusOk
                ? FormatAnswer(kComboNoProcessesAnswer, {static_cast<long long>(processes.status),
                                                         platform::ProcessStatusText(processes.status)})
                : FormatAnswer(kComboProcessesAnswer, {processes.count, processes.text}),
            serviceIndex);
    });
    if (failed) Reply(user, FormatAnswer(kComboProcessConnectFailed, {*failed}), serviceIndex);
  } else {
    // Only the service and process lists can be refreshed; the server still gets an answer
    // rather than waiting for one that never comes.
    Reply(user, std::string(kComboCheckNotFound), serviceIndex);
  }
}

}  // namespace vorlane::agent
