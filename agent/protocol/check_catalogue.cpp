#include "agent/protocol/check_catalogue.h"

#include <array>
#include <fstream>
#include <system_error>
#include <utility>

#include "agent/protocol/answer.h"

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

bool ProtocolTableAvailable(const std::filesystem::path& tcpConfig) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(tcpConfig, error)) return false;
  const auto size = std::filesystem::file_size(tcpConfig, error);
  if (error || size == 0) return false;
  std::ifstream file(tcpConfig, std::ios::binary);
  return file.is_open();
}

std::string_view ListChecksAnswer(bool protocolTableAvailable) {
  return protocolTableAvailable ? kListChecksWithTcp : kListChecksWithoutTcp;
}

std::string DefineCheckAnswer(std::string_view checkId) {
  const std::optional<std::string_view> check = CanonicalCheckId(checkId);
  if (check == kCheckIdDisk) return FormatAnswer(kDefineDiskTemplate, {});
  if (check == kCheckIdPing) return FormatAnswer(kDefinePingTemplate, {});
  if (check == kCheckIdUrl) return FormatAnswer(kDefineUrlTemplate, {});
  // The service, process and TCP definitions carry value lists computed on the host (running
  // services, process names, the TCP protocol table); they are answered once those lists exist,
  // together with the handlers of their checks. Until then they read as unknown checks.
  return std::string(kCheckNotFound);
}

}  // namespace vorlane::agent
