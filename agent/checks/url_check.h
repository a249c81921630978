// The URL check: one GET through the HTTP client component (created by ProgID, reached
// late-bound), optionally through a proxy and with credentials; the answer tells whether the page
// came back with status 200 and whether its text holds (or lacks) the words asked for, with the
// time the fetch took.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agent/checks/check_declaration.h"
#include "agent/checks/page_content.h"
#include "agent/config/agent_config.h"
#include "agent/request/agent_context.h"
#include "agent/request/user_handle.h"
#include "platform/com/com_ptr.h"
#include "platform/com/interfaces.h"

namespace vorlane::agent {

// The check's request keys.
inline constexpr std::string_view kKeyUrl = "URL";
inline constexpr std::string_view kKeyContentCheckType = "Content check type";
inline constexpr std::string_view kKeyWords = "Words";
inline constexpr std::string_view kKeyContent = "Content to check for";
inline constexpr std::string_view kKeyUseUrlAuthentication = "Use authentication for URL";
inline constexpr std::string_view kKeyUrlUser = "Username for URL";
inline constexpr std::string_view kKeyUrlPassword = "*Password for URL";
inline constexpr std::string_view kKeyProxyType = "Proxy type";
inline constexpr std::string_view kKeyProxyServer = "Proxy server name";
inline constexpr std::string_view kKeyProxyPort = "Proxy server port";
inline constexpr std::string_view kKeyUseProxyAuthentication = "Use authentication for proxy";
inline constexpr std::string_view kKeyProxyUser = "Username for proxy";
inline constexpr std::string_view kKeyProxyPassword = "*Password for proxy";

// The proxy types by name, as the definition lists them.
inline constexpr std::array<std::string_view, 7> kProxyTypeNames = {
    "ProxyNone", "ProxySocks4", "ProxySocks5", "ProxyWEBStandard", "ProxyRelay", "ProxySocks4a", "ProxyWindows"};

inline constexpr std::string_view kProxyNoneName = "ProxyNone";

// The parameters of one check as the request gives them, passwords decoded.
struct UrlRequest {
  std::string url;
  std::string contentCheckType;  // empty becomes "no content check"
  std::string words;
  std::string content;
  bool useUrlAuthentication = false;
  std::string user;
  std::string password;
  std::string proxyType;  // empty becomes "ProxyNone"
  std::string proxyServer;
  int32_t proxyPort = 0;
  bool useProxyAuthentication = false;
  std::string proxyUser;
  std::string proxyPassword;
};
UrlRequest ReadUrlRequest(std::string_view record);

// The component's code of a proxy type name (compared without regard to case); none for a name
// outside the table.
std::optional<int32_t> ProxyTypeCode(std::string_view name);

// The User-Agent of every request: "Vorlane/<the agent's version>".
std::string UrlCheckUserAgent(std::string_view agentVersion);

// What the agent adds to every request of the check.
struct UrlCheckSettings {
  HttpsTrust trust{};
  std::string userAgent{};  // none sent when empty
};

// The agent account's personal folder: $HOME, or the account's home when that is not set.
std::filesystem::path PersonalFolder();

// A new empty file "wdH<hex>.tmp" in `folder` (made when missing), removed when the object goes.
class UrlBodyFile {
 public:
  explicit UrlBodyFile(const std::filesystem::path& folder);
  ~UrlBodyFile();
  UrlBodyFile(const UrlBodyFile&) = delete;
  UrlBodyFile& operator=(const UrlBodyFile&) = delete;

  // Empty when no file could be made.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Creates the HTTP client; the agent's own creates it by ProgID through the class registry.
using HttpClientFactory = std::function<com::HRESULT(com::ComPtr<com::IDispatch>*)>;
com::HRESULT CreateHttpClient(com::ComPtr<com::IDispatch>* client);

// The check: reads the parameters from `record`, fetches the page through a client made by
// `create` (with `settings`) with the body kept in a file in `folder`, judges the content from
// that file.
CheckOutcome UrlCheckOutcome(const std::string& record, const HttpClientFactory& create,
                             const std::filesystem::path& folder, const UrlCheckSettings& settings = {});

// The handler of "URL": the check through the agent's HTTP client, with the agent's settings.
CheckOutcome RunUrlCheckThroughTheAgentsClient(AgentContext& context, const std::string& record);
extern const CheckDeclaration kUrlCheck;

}  // namespace vorlane::agent
