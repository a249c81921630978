// The declarations of the checks that run inside components (ping, TCP, URL). They are apart from
// their handlers so that the catalogue can be built without the component runtime.
#include <array>
#include <optional>
#include <string>
#include <utility>

#include "agent/checks/check_declaration.h"
#include "agent/checks/page_content.h"
#include "agent/checks/ping_check.h"
#include "agent/checks/protocol_table.h"
#include "agent/checks/tcp_check.h"
#include "agent/checks/url_check.h"

namespace vorlane::agent {
namespace {

constexpr std::array kPingParams = {
    TextParam(kKeyPingHost, 255),      NumberParam(kKeyPingFrames, 100, 5), NumberParam(kKeyPingSuccessRate, 100, 95),
    NumberParam(kKeyPingTimeout, 600), NumberParam(kKeyPingTos, 255, 0),    BooleanParam(kKeyPingCheckTos),
};

constexpr std::string_view kNoProtocolsText = "ERROR: Could not get the TCP protocols! \r\nWrong INI file!";

constexpr std::array kTcpParams = {
    HostListParam(kKeyTcpProtocol),
    [] {
      ParamDeclaration port = NumberParam(kKeyTcpPort, 65535);
      port.hostDefault = true;
      return port;
    }(),
    TextParam(kKeyTcpHost, 255),
    NumberParam(kKeyTcpTimeout, 600),
};

HostValuesOrError TableProtocols(const std::filesystem::path& tcpConfig) {
  ProtocolList protocols = BuildProtocolList(tcpConfig);
  if (protocols.count <= 0) return std::string(kNoProtocolsText);
  std::optional<long long> defaultPort;
  if (protocols.hasDefault) defaultPort = protocols.defaultPort;
  return HostValues{protocols.count, std::move(protocols.text), defaultPort};
}

constexpr std::array kContentCheckTypes = {kNoContentCheck, kShouldContain, kShouldNotContain};
constexpr std::array kWordModes = {kAllWords, kAnyWord, kExactPhrase};
constexpr std::array kUrlParams = {
    TextParam(kKeyUrl, 10000),
    ChoiceParam(kKeyContentCheckType, kContentCheckTypes),
    ChoiceParam(kKeyWords, kWordModes),
    TextParam(kKeyContent, 255),
    BooleanParam(kKeyUseUrlAuthentication),
    TextParam(kKeyUrlUser, std::nullopt, 5),
    TextParam(kKeyUrlPassword, std::nullopt, 5),
    ChoiceParam(kKeyProxyType, kProxyTypeNames),
    TextParam(kKeyProxyServer, 255),
    NumberParam(kKeyProxyPort, 65535, 0),
    BooleanParam(kKeyUseProxyAuthentication),
    TextParam(kKeyProxyUser, std::nullopt, 11),
    TextParam(kKeyProxyPassword, std::nullopt, 11),
};

}  // namespace

const CheckDeclaration kPingCheck{
    "PING", "PING4", "PingCheck", kPingParams, RunPingCheckThroughTheComponent, nullptr, nullptr};
const CheckDeclaration kTcpCheck{
    "TCP", "", "TCPBasedCheck", kTcpParams, RunTcpCheckThroughTheComponent, TableProtocols, ProtocolTableAvailable};
const CheckDeclaration kUrlCheck{
    "URL", "", "URL Check", kUrlParams, RunUrlCheckThroughTheAgentsClient, nullptr, nullptr};

}  // namespace vorlane::agent
