#include "agent/config/agent_config.h"

#include <cerrno>

#include "platform/base/config_dir.h"
#include "platform/profile/profile.h"

namespace vorlane::agent {
namespace {

// Buffer sizes of the reads (terminator included), so values are cut where they always were.
constexpr size_t kProtocolBuffer = 10;
constexpr size_t kBindIpBuffer = 255;
constexpr size_t kUserFieldBuffer = 35;
constexpr size_t kSectionNamesBuffer = 65535;
// Room enough for any port and for a wrong value to be recognisable in the log.
constexpr size_t kPortBuffer = 64;
constexpr int kHighestPort = 65535;

// The refusal of a Port value: the lead, the value as written, the end.
constexpr std::string_view kBadPortLead = "Port must be a number from 1 to 65535, not \"";
constexpr std::string_view kBadPortEnd = "\".";

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string ReadUserField(const std::filesystem::path& file, const std::string& section, std::string_view key) {
  return profile::GetString(file, section, key, "", kUserFieldBuffer);
}

UserEntry ReadEntry(const std::filesystem::path& file, const std::string& section, std::string userName) {
  return UserEntry{section, std::move(userName), ReadUserField(file, section, "Password"),
                   ReadUserField(file, section, "Range")};
}

}  // namespace

std::filesystem::path ConfigDirectory() { return vorlane::ConfigDirectory(); }

ConfigPaths LocateConfigFiles(const std::filesystem::path& directory) {
  return ConfigPaths{directory / kAgentConfigFileName, directory / kTcpConfigFileName};
}

std::optional<int> ParsePort(std::string_view text) {
  if (text.empty()) return std::nullopt;
  int port = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + (c - '0');
    if (port > kHighestPort) return std::nullopt;  // also keeps long digit runs from overflowing
  }
  if (port == 0) return std::nullopt;
  return port;
}

std::string BadPortMessage(std::string_view value) {
  std::string message;
  message.reserve(kBadPortLead.size() + value.size() + kBadPortEnd.size());
  message.append(kBadPortLead).append(value).append(kBadPortEnd);
  return message;
}

Result<GeneralSettings> ReadGeneralSettings(const std::filesystem::path& agentConfig) {
  const Error cannotRead{0, std::string(kCannotReadIni)};
  GeneralSettings settings;
  const std::string protocol = profile::GetString(agentConfig, kGeneralSection, "Protocol", "", kProtocolBuffer);
  if (EqualsIgnoringCase(protocol, "Telnet")) {
    settings.isTelnet = true;
  } else if (!EqualsIgnoringCase(protocol, "SSH")) {
    return cannotRead;
  }
  settings.bindIp = profile::GetString(agentConfig, kGeneralSection, "BindIP", "", kBindIpBuffer);
  const std::string portText = profile::GetString(agentConfig, kGeneralSection, "Port", "", kPortBuffer);
  if (portText.empty()) return cannotRead;
  const std::optional<int> port = ParsePort(portText);
  if (!port) return Error{EINVAL, BadPortMessage(portText)};
  settings.port = *port;
  return settings;
}

std::vector<UserEntry> ReadUserEntries(const std::filesystem::path& agentConfig) {
  std::vector<UserEntry> entries;
  for (const std::string& section : profile::GetSectionNames(agentConfig, kSectionNamesBuffer)) {
    entries.push_back(ReadEntry(agentConfig, section, ReadUserField(agentConfig, section, "UserName")));
  }
  return entries;
}

std::optional<UserEntry> FindUserEntry(const std::filesystem::path& agentConfig, std::string_view userName) {
  for (const std::string& section : profile::GetSectionNames(agentConfig, kSectionNamesBuffer)) {
    std::string candidate = ReadUserField(agentConfig, section, "UserName");
    if (EqualsIgnoringCase(candidate, userName)) return ReadEntry(agentConfig, section, std::move(candidate));
  }
  return std::nullopt;
}

}  // namespace vorlane::agent
