#include "agent/config/agent_config.h"



#include "platform/base/config_dir.h"
#include "platform/profile/profile.h"

namespace vorlane::agent {
namespace {

// Buffer sizes of the reads (terminator included), so values are cut where they always were.
constexpr size_t kProtocolBuffer = 10;
constexpr size_t kBindIpBuffer = 255;
constexpr size_t kUserFieldBuffer = 35;
constexpr size_t kSectionNamesBuffer = 65535;
constexpr int kNoPort = -1;

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

std::optional<GeneralSettings> ReadGeneralSettings(const std::filesystem::path& agentConfig) {
  GeneralSettings settings;
  const std::string protocol = profile::GetString(agentConfig, kGeneralSection, "Protocol", "", kProtocolBuffer);
  if (EqualsIgnoringCase(protocol, "Telnet")) {
    settings.isTelnet = true;
  } else if (!EqualsIgnoringCase(protocol, "SSH")) {
    return std::nullopt;
  }
  settings.bindIp = profile::GetString(agentConfig, kGeneralSection, "BindIP", "", kBindIpBuffer);
  settings.port = profile::GetInt(agentConfig, kGeneralSection, "Port", kNoPort);
  if (settings.port == kNoPort) return std::nullopt;
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
