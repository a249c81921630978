// The TCP protocol table (TCPConfig.INI): one section per protocol, with its default port, its
// place as the preselected protocol and the dialogue a TCP check holds with it. The agent only
// reads the file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vorlane::agent {

// What a TCP check needs of one protocol. Texts are kept as the file holds them (UTF-8);
// escapes in them are decoded by the TCP check component.
struct ProtocolSettings {
  int32_t defaultPort = 0;               // DPORT
  std::string receiveOnConnect;          // PROC
  int32_t receiveOnConnectCompare = 0;   // PROCC
  std::string sendOnConnect;             // PSOC
  std::string receiveAsResponse;         // PRAR
  int32_t receiveAsResponseCompare = 0;  // PRARC
  std::string sendOnDisconnect;          // PSOD
  bool waitOnDisconnect = false;         // PWOD not 0: disconnect gracefully
};

// The settings of the protocol `name`; nothing when the file or the section is missing or the
// section has no entries. Each text is read with room for 1023 characters.
std::optional<ProtocolSettings> ReadProtocolSettings(const std::filesystem::path& table, std::string_view name);

// Whether the table can be offered: the file exists, can be opened for reading and is not empty.
bool ProtocolTableAvailable(const std::filesystem::path& table);

// The protocol list of the TCP definition: "#", then "value<n>=<name>:<DPORT>#" for each section
// in file order, then "default1=<name>:<DPORT>#" for the last section marked `default`.
struct ProtocolList {
  std::string text;         // empty when the table has no section
  int32_t count = -1;       // -1 when the table has no section
  bool hasDefault = false;   // a section is marked default
  int32_t defaultPort = -1;  // its DPORT; -1 when no section is marked default
};

// Sections whose name could not stand in an answer record ('#', '"' or a control character in
// it) are left out of the list, so the list can never break the definition it is part of.
ProtocolList BuildProtocolList(const std::filesystem::path& table);

}  // namespace vorlane::agent
