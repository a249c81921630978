// The catalogue of checks: their identifiers, the listchecks answer and the parameter
// definitions that definecheck sends.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vorlane::agent {

// The identifiers the agent announces. Each check may also be asked for by one further
// identifier with the same meaning (CanonicalCheckId).
inline constexpr std::string_view kCheckIdService = "NTSC";
inline constexpr std::string_view kCheckIdProcess = "NTPC";
inline constexpr std::string_view kCheckIdDisk = "DC";
inline constexpr std::string_view kCheckIdPing = "PING";
inline constexpr std::string_view kCheckIdTcp = "TCP";
inline constexpr std::string_view kCheckIdUrl = "URL";

// The announced identifier that `checkId` stands for, compared byte for byte in the order
// NTSC1, NTSC, NTPC2, NTPC, DC__3, DC, PING4, PING, TCP, URL; nothing for any other text
// (including other capitals, such as "ntsc").
std::optional<std::string_view> CanonicalCheckId(std::string_view checkId);

// Whether the TCP protocol table can be offered: the file exists, is a regular file that can be
// opened for reading, and is not empty.
bool ProtocolTableAvailable(const std::filesystem::path& tcpConfig);

// The listchecks answer; only the TCP check's availability varies.
std::string_view ListChecksAnswer(bool protocolTableAvailable);

// The definecheck answer for `checkId` (either identifier of a check). Checks whose definition
// is not held here answer "Check not found", like unknown identifiers.
std::string DefineCheckAnswer(std::string_view checkId);

}  // namespace vorlane::agent
