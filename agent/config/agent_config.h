// The agent's configuration files and what the agent reads from AgentConfig.INI.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/result.h"
#include "platform/termserver/limits.h"

namespace vorlane::agent {

inline constexpr std::string_view kAgentConfigFileName = "AgentConfig.INI";
inline constexpr std::string_view kTcpConfigFileName = "TCPConfig.INI";
inline constexpr std::string_view kGeneralSection = "GeneralInfo";

// The folder that holds the configuration files: $VORLANE_CONFIG_DIR when set and not empty,
// else the folder of the running executable.
std::filesystem::path ConfigDirectory();

struct ConfigPaths {
  std::filesystem::path agentConfig;
  std::filesystem::path tcpConfig;
};
ConfigPaths LocateConfigFiles(const std::filesystem::path& directory = ConfigDirectory());

// The authorities trusted for https: a PEM file, a folder of hashed certificates, or both; the
// system's store when both are empty.
struct HttpsTrust {
  std::string caFile;
  std::string caPath;
};

struct GeneralSettings {
  bool isTelnet = false;
  int port = -1;
  std::string bindIp;
  // How many requests may run at once, over all connections.
  size_t maxConcurrentChecks = termserver::kMaxConcurrentChecksDefault;
  HttpsTrust https;
};

// The log line for a file without usable general settings.
inline constexpr std::string_view kCannotReadIni = "Could not read from INI file!";

// A port as the Port key gives it: a whole number from 1 to 65535, in decimal digits alone
// (no sign, no blanks, nothing after the number). Nothing otherwise.
std::optional<int> ParsePort(std::string_view text);

// The log line that refuses a Port value which ParsePort does not take.
std::string BadPortMessage(std::string_view value);

// [GeneralInfo]: Protocol "Telnet" or "SSH" (without case), Port required, BindIP,
// MaxConcurrentChecks, HttpsCaFile and HttpsCaPath optional. The error's message is the line to
// log: kCannotReadIni when the file, the protocol or the port is missing or the protocol is
// another one, BadPortMessage when Port is not a port, `MaxConcurrentChecks must be a number from
// 1 to 1024, not "<value>".` when that value is no such number.
Result<GeneralSettings> ReadGeneralSettings(const std::filesystem::path& agentConfig);

// One section of AgentConfig.INI as a candidate for login. Every section is one, the general
// section included; a section without UserName has an empty one.
struct UserEntry {
  std::string section;
  std::string userName;
  std::string password;  // as stored: enciphered, base64
  std::string range;
};

// All sections in file order.
std::vector<UserEntry> ReadUserEntries(const std::filesystem::path& agentConfig);

// The first section in file order whose UserName equals `userName` without regard to case.
std::optional<UserEntry> FindUserEntry(const std::filesystem::path& agentConfig, std::string_view userName);

}  // namespace vorlane::agent
