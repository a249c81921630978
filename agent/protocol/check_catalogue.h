// The catalogue of checks: their identifiers, the listchecks answer and the parameter
// definitions that definecheck sends.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "agent/checks/check_declaration.h"
#include "agent/checks/remote_host.h"
#include "agent/request/user_handle.h"

namespace vorlane::agent {

// The identifiers of the checks whose lists getcomboparamvalues refreshes (and, as the other
// four, their declarations carry them). Each check may also be asked for by one further
// identifier with the same meaning (CanonicalCheckId).
inline constexpr std::string_view kCheckIdService = "NTSC";
inline constexpr std::string_view kCheckIdProcess = "NTPC";
inline constexpr std::string_view kCheckIdDisk = "DC";
inline constexpr std::string_view kCheckIdPing = "PING";
inline constexpr std::string_view kCheckIdTcp = "TCP";
inline constexpr std::string_view kCheckIdUrl = "URL";

// The request key that names the check of definecheck, getcomboparamvalues and runcheck.
inline constexpr std::string_view kKeyCheckId = "checkid";

// The checks the agent offers, in the order listchecks names them.
std::span<const CheckDeclaration* const> CheckDeclarations();

// The announced identifier that `checkId` stands for, compared byte for byte in the order
// NTSC1, NTSC, NTPC2, NTPC, DC__3, DC, PING4, PING, TCP, URL; nothing for any other text
// (including other capitals, such as "ntsc").
std::optional<std::string_view> CanonicalCheckId(std::string_view checkId);

// The listchecks answer, written from the declarations; only the TCP check's availability
// varies, with the protocol table at `tcpConfig`.
std::string ListChecksAnswer(const std::filesystem::path& tcpConfig);

// The definecheck answer for `checkId` (either identifier of a check), its value lists built on
// this host afresh: the running services, the process names, the protocols of the table at
// `tcpConfig`. A list that cannot be built gives that check's error answer, never a partial
// definition; an unknown identifier gives "Check not found".
std::string DefineCheckAnswer(std::string_view checkId, const std::filesystem::path& tcpConfig);

// Answers getcomboparamvalues: the running services ("NTSC", "NTSC1") or the process names
// ("NTPC", "NTPC2") of the host the request names (this host when it names none), reached
// through `connector` and disconnected again after the answer. Any other identifier is answered
// "Check not found".
void SendComboValues(UserHandle& user, const std::string& record, int32_t serviceIndex, RemoteConnector& connector);

}  // namespace vorlane::agent
