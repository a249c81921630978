#include "agent/protocol/check_catalogue.h"

#include <array>
#include <utility>

#include "agent/checks/process_check.h"
#include "agent/checks/protocol_table.h"
#include "agent/checks/service_check.h"
#include "agent/request/answer.h"
#include "agent/request/record.h"
#include "agent/request/reply.h"
#include "platform/process/process_table.h"

namespace vorlane::agent {
namespace {

// Each pair: an identifier as the server may send it, and the announced identifier it means.
// The order is the order of comparison.
constexpr std::array<std::pair<std::string_view, std::string_view>, 10> kCheckIds = {{
    {"NTSC1", kCheckIdService},
    {kCheckIdService, kCheckIdService},
    {"NTPC2", kCheckIdProcess},
    {kCheckIdProcess, kCheckIdProcess},
    {"DC__3", kCheckIdDisk},
    {kCheckIdDisk, kCheckIdDisk},
    {"PING4", kCheckIdPing},
    {kCheckIdPing, kCheckIdPing},
    {kCheckIdTcp, kCheckIdTcp},
    {kCheckIdUrl, kCheckIdUrl},
}};

constexpr std::string_view kListChecksWithTcp =
    "#keycount=17#responseaction=listchecks#checkcount=6#checkid1=NTSC#"
    "checkdescription1=NT ServiceCheck#available1=true#checkid2=NTPC#"
    "checkdescription2=NT ProcessCheck#available2=true#checkid3=DC#checkdescription3=DiskspaceCheck#"
    "available3=true#checkid4=PING#checkdescription4=PingCheck#available4=true#checkid5=TCP#"
    "checkdescription5=TCPBasedCheck#available5=true#checkid6=URL#checkdescription6=URL Check#"
    "available6=true#";

constexpr std::string_view kListChecksWithoutTcp =
    "#keycount=17#responseaction=listchecks#checkcount=6#checkid1=NTSC#"
    "checkdescription1=NT ServiceCheck#available1=true#checkid2=NTPC#"
    "checkdescription2=NT ProcessCheck#available2=true#checkid3=DC#checkdescription3=DiskspaceCheck#"
    "available3=true#checkid4=PING#checkdescription4=PingCheck#available4=true#checkid5=TCP#"
    "checkdescription5=TCPBasedCheck#available5=false#checkid6=URL#checkdescription6=URL Check#"
    "available6=true#";

constexpr std::string_view kCheckNotFound = "#keycount=2#responseaction=definecheck#errormessage=Check not found#";
constexpr std::string_view kComboCheckNotFound =
    "#keycount=2#responseaction=getcomboparamvalues#errormessage=Check not found#";

// The definitions with value lists. The list texts are inserted as they are built: the service
// list has no '#' after its last entry, the process and protocol lists end with one.
constexpr std::string_view kDefineServiceTemplate =
    "#keycount=3#responseaction=definecheck#checkid=NTSC#parameters=\"#paramname1=Hostname#paramtype1=text#"
    "maxlength1=255#paramname2=Service#paramtype2=listcombo#valuecount=%d%s#atbutton_paramcount=4#"
    "atbutton_param1=Hostname#atbutton_param2=Use authentication#atbutton_param3=Username#"
    "atbutton_param4=*Password#sorted=true##paramname3=Use authentication#paramtype3=boolean#"
    "paramname4=Username#paramtype4=text#dependson4=paramname3#paramname5=*Password#paramtype5=text#"
    "dependson5=paramname3#\"#";

constexpr std::string_view kDefineProcessTemplate =
    "#keycount=3#responseaction=definecheck#checkid=NTPC#parameters=\"#paramname1=Process name#"
    "paramtype1=listcombo#valuecount=%d%satbutton_paramcount=4#atbutton_param1=Hostname#"
    "atbutton_param2=Use authentication#atbutton_param3=Username#atbutton_param4=*Password#sorted=true#"
    "paramname2=Type#paramtype2=listdrop#valuecount=2#value1=less than#value2=at least#paramname3=Number#"
    "paramtype3=longinteger#maxlength3=255#paramname4=Hostname#paramtype4=text#maxlength4=255#"
    "paramname5=Use authentication#paramtype5=boolean#paramname6=Username#paramtype6=text#"
    "dependson6=paramname5#paramname7=*Password#paramtype7=text#dependson7=paramname5#\"#";

constexpr std::string_view kDefineTcpTemplate =
    "#keycount=3#responseaction=definecheck#checkid=TCP#parameters=\"#paramname1=Protocol#"
    "paramtype1=listdrop#valuecount=%d%ssorted=true#paramname2=Port#paramtype2=longinteger#"
    "maxlength2=65535%s#paramname3=Hostname#paramtype3=text#maxlength3=255#paramname4=Timeout (sec.)#"
    "paramtype4=longinteger#maxlength4=600#\"#";
constexpr std::string_view kTcpDefaultPort = "#default2=%d";

// The definecheck errors go out with the action "runcheck", as the server has always read them.
constexpr std::string_view kDefineNoServicesAnswer =
    "#keycount=3#responseaction=runcheck#checkid=NTSC#errormessage=ERROR: Could not get the running services!#";
constexpr std::string_view kDefineNoProcessesAnswer =
    "#keycount=3#responseaction=runcheck#checkid=NTPC#errormessage=ERROR: Could not get the running processes! "
    "\r\nError code: 0x%X. %s#";
constexpr std::string_view kDefineNoProtocolsAnswer =
    "#keycount=3#responseaction=runcheck#checkid=TCP#errormessage=ERROR: Could not get the TCP protocols! "
    "\r\nWrong INI file!#";

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

// The definitions that need no value list. They are format templates without arguments, so the
// "%%" of the disk check's unit list goes out as a single "%".
constexpr std::string_view kDefineDiskTemplate =
    "#keycount=3#responseaction=definecheck#checkid=DC#parameters=\"#paramname1=Drive letter#"
    "paramtype1=text#maxlength1=255#paramname2=Value#paramtype2=longinteger#maxlength2=10000#"
    "paramname3=Unit#paramtype3=listdrop#valuecount=6#value1=bytes#value2=kb#value3=mb#value4=gb#"
    "value5=tb#value6=%%#paramname4=Hostname#paramtype4=text#maxlength4=255#"
    "paramname5=Use authentication#paramtype5=boolean#paramname6=Username#paramtype6=text#"
    "dependson6=paramname5#paramname7=*Password#paramtype7=text#dependson7=paramname5#\"#";

constexpr std::string_view kDefinePingTemplate =
    "#keycount=3#responseaction=definecheck#checkid=PING#parameters=\"#paramname1=Hostname#"
    "paramtype1=text#maxlength1=255#paramname2=Number of frames#paramtype2=longinteger#"
    "maxlength2=100#default2=5#paramname3=Success rate#paramtype3=longinteger#maxlength3=100#"
    "default3=95#paramname4=Timeout#paramtype4=longinteger#maxlength4=600#paramname5=TOS#"
    "paramtype5=longinteger#maxlength5=255#default5=0#paramname6=Check TOS-byte consistency#"
    "paramtype6=boolean#\"#";

constexpr std::string_view kDefineUrlTemplate =
    "#keycount=3#responseaction=definecheck#checkid=URL#parameters=\"#paramname1=URL#paramtype1=text#"
    "maxlength1=10000#paramname2=Content check type#paramtype2=listdrop#valuecount=3#"
    "value1=no content check#value2=should contain#value3=should not contain#paramname3=Words#"
    "paramtype3=listdrop#valuecount=3#value1=all words#value2=any word#value3=exact phrase#"
    "paramname4=Content to check for#paramtype4=text#maxlength4=255#"
    "paramname5=Use authentication for URL#paramtype5=boolean#paramname6=Username for URL#"
    "paramtype6=text#dependson6=paramname5#paramname7=*Password for URL#paramtype7=text#"
    "dependson7=paramname5#paramname8=Proxy type#paramtype8=listdrop#valuecount=7#value1=ProxyNone#"
    "value2=ProxySocks4#value3=ProxySocks5#value4=ProxyWEBStandard#value5=ProxyRelay#"
    "value6=ProxySocks4a#value7=ProxyWindows#paramname9=Proxy server name#paramtype9=text#"
    "maxlength9=255#paramname10=Proxy server port#paramtype10=longinteger#maxlength10=65535#"
    "default10=0#paramname11=Use authentication for proxy#paramtype11=boolean#"
    "paramname12=Username for proxy#paramtype12=text#dependson12=paramname11#"
    "paramname13=*Password for proxy#paramtype13=text#dependson13=paramname11#\"#";

}  // namespace

std::optional<std::string_view> CanonicalCheckId(std::string_view checkId) {
  for (const auto& [accepted, announced] : kCheckIds) {
    if (checkId == accepted) return announced;
  }
  return std::nullopt;
}

std::string_view ListChecksAnswer(bool protocolTableAvailable) {
  return protocolTableAvailable ? kListChecksWithTcp : kListChecksWithoutTcp;
}

std::string DefineCheckAnswer(std::string_view checkId, const std::filesystem::path& tcpConfig) {
  const std::optional<std::string_view> check = CanonicalCheckId(checkId);
  if (check == kCheckIdService) {
    const ServiceList services = ListRunningServices(LocalCheckHost());
    if (services.text.empty()) return std::string(kDefineNoServicesAnswer);
    return FormatAnswer(kDefineServiceTemplate, {services.count, services.text});
  }
  if (check == kCheckIdProcess) {
    const ProcessNameList processes = ListProcessNames(LocalCheckHost());
    if (processes.status != platform::kProcessStatusOk) {
      return FormatAnswer(kDefineNoProcessesAnswer,
                          {static_cast<long long>(processes.status), platform::ProcessStatusText(processes.status)});
    }
    return FormatAnswer(kDefineProcessTemplate, {processes.count, processes.text});
  }
  if (check == kCheckIdDisk) return FormatAnswer(kDefineDiskTemplate, {});
  if (check == kCheckIdPing) return FormatAnswer(kDefinePingTemplate, {});
  if (check == kCheckIdTcp) {
    const ProtocolList protocols = BuildProtocolList(tcpConfig);
    if (protocols.count <= 0) return std::string(kDefineNoProtocolsAnswer);
    const std::string defaultPort =
        protocols.hasDefault ? FormatAnswer(kTcpDefaultPort, {protocols.defaultPort}) : std::string();
    return FormatAnswer(kDefineTcpTemplate, {protocols.count, protocols.text, defaultPort});
  }
  if (check == kCheckIdUrl) return FormatAnswer(kDefineUrlTemplate, {});
  return std::string(kCheckNotFound);
}

void SendComboValues(UserHandle& user, const std::string& record, int32_t serviceIndex, RemoteConnector& connector) {
  const std::optional<std::string_view> check = CanonicalCheckId(GetRecordValue(record, kKeyCheckId));
  const RemoteHostRequest remote = ReadRemoteHostRequest(record);
  if (check == kCheckIdService) {
    OnRequestedHost(connector, remote, user, serviceIndex, kComboServiceConnectFailed, [&](CheckHost& host) {
      const ServiceList services = ListRunningServices(host);
      Reply(user,
            services.text.empty() ? std::string(kComboNoServicesAnswer)
                                  : FormatAnswer(kComboServicesAnswer, {services.count, services.text}),
            serviceIndex);
    });
  } else if (check == kCheckIdProcess) {
    OnRequestedHost(connector, remote, user, serviceIndex, kComboProcessConnectFailed, [&](CheckHost& host) {
      const ProcessNameList processes = ListProcessNames(host);
      Reply(user,
            processes.status != platform::kProcessStatusOk
                ? FormatAnswer(kComboNoProcessesAnswer, {static_cast<long long>(processes.status),
                                                         platform::ProcessStatusText(processes.status)})
                : FormatAnswer(kComboProcessesAnswer, {processes.count, processes.text}),
            serviceIndex);
    });
  } else {
    // Only the service and process lists can be refreshed; the server still gets an answer
    // rather than waiting for one that never comes.
    Reply(user, std::string(kComboCheckNotFound), serviceIndex);
  }
}

}  // namespace vorlane::agent
