#include "agent/config/agent_config.h"

#include <cerrno>

#include "platform/base/ascii.h"
#include "platform/base/config_dir.h"
#include "platform/profile/profile.h"

namespace vorlane::agent {
namespace {

// Buffer sizes of the reads (terminator included), so values are cut where they always were.
constexpr size_t kProtocolBuffer = 10;
constexpr size_t kBindIpBuffer = 255;
constexpr size_t kPathBuffer = 4096;
constexpr size_t kUserFieldBuffer = 35;
constexpr size_t kSectionNamesBuffer = 65535;
// Room enough for any number and for a wrong value to be recognisable in the log.
constexpr size_t kNumberBuffer = 64;
constexpr int kHighestPort = 65535;

// A whole number from `low` to `high` in decimal digits alone (no sign, no blanks, nothing
// after it); nothing otherwise.
std::optional<int> ParseBounded(std::string_view text, int low, int high) {
  if (text.empty()) return std::nullopt;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > high) return std::nullopt;  // also keeps long digit runs from overflowing
  }
  if (value < low) return std::nullopt;
  return value;
}

// The refusal of a value: `KEY must be a number from LOW to HIGH, not "VALUE".`
std::string BadNumberMessage(std::string_view key, int low, int high, std::string_view value) {
  return std::string(key) + " must be a number from " + std::to_string(low) + " to " + std::to_string(high) +
         ", not \"" + std::string(value) + "\".";
}

std::string ReadUserField(const profile::Snapshot& config, const std::string& section, std::string_view key) {
  return config.GetString(section, key, "", kUserFieldBuffer);
}

UserEntry ReadEntry(const profile::Snapshot& config, const std::string& section, std::string userName) {
  return UserEntry{section, std::move(userName), ReadUserField(config, section, "Password"),
                   ReadUserField(config, section, "Range")};
}

}  // namespace

std::filesystem::path ConfigDirectory() { return vorlane::ConfigDirectory(); }

ConfigPaths LocateConfigFiles(const std::filesystem::path& directory) {
  return ConfigPaths{directory / kAgentConfigFileName, directory / kTcpConfigFileName};
}

std::optional<int> ParsePort(std::string_view text) { return ParseBounded(text, 1, kHighestPort); }

std::string BadPortMessage(std::string_view value) { return BadNumberMessage("Port", 1, kHighestPort, value); }

Result<GeneralSettings> ReadGeneralSettings(const std::filesystem::path& agentConfig) {
  const Error cannotRead{0, std::string(kCannotReadIni)};
  GeneralSettings settings;
  const profile::Snapshot config(agentConfig);
  const std::string protocol = config.GetString(kGeneralSection, "Protocol", "", kProtocolBuffer);
  if (EqualsIgnoringAsciiCase(protocol, "Telnet")) {
    settings.isTelnet = true;
  } else if (!EqualsIgnoringAsciiCase(protocol, "SSH")) {
    return cannotRead;
  }
  settings.bindIp = config.GetString(kGeneralSection, "BindIP", "", kBindIpBuffer);
  const std::string portText = config.GetString(kGeneralSection, "Port", "", kNumberBuffer);
  if (portText.empty()) return cannotRead;
  const std::optional<int> port = ParsePort(portText);
  if (!port) return Error{EINVAL, BadPortMessage(portText)};
  settings.port = *port;
  const std::string runningText = config.GetString(kGeneralSection, "MaxConcurrentChecks", "", kNumberBuffer);
  if (!runningText.empty()) {
    const int most = static_cast<int>(termserver::kMaxConcurrentChecksLimit);
    const std::optional<int> running = ParseBounded(runningText, 1, most);
    if (!running) return Error{EINVAL, BadNumberMessage("MaxConcurrentChecks", 1, most, runningText)};
    settings.maxConcurrentChecks = static_cast<size_t>(*running);
  }
  settings.https.caFile = config.GetString(kGeneralSection, "HttpsCaFile", "", kPathBuffer);
  settings.https.caPath = config.GetString(kGeneralSection, "HttpsCaPath", "", kPathBuffer);
  return settings;
}

std::vector<UserEntry> ReadUserEntries(const std::filesystem::path& agentConfig) {
  const profile::Snapshot config(agentConfig);
  std::vector<UserEntry> entries;
  for (const std::string& section : config.GetSectionNames(kSectionNamesBuffer)) {
    entries.push_back(ReadEntry(config, section, ReadUserField(config, section, "UserName")));
  }
  return entries;
}

// One reading of the file per login: a name and its password always come from the same version.
std::optional<UserEntry> FindUserEntry(const std::filesystem::path& agentConfig, std::string_view userName) {
  const profile::Snapshot config(agentConfig);
  for (const std::string& section : config.GetSectionNames(kSectionNamesBuffer)) {
    std::string candidate = ReadUserField(config, section, "UserName");
    if (EqualsIgnoringAsciiCase(candidate, userName)) return ReadEntry(config, section, std::move(candidate));
  }
  return std::nullopt;
}

}  // namespace vorlane::agent
