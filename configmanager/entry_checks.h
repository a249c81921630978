// What the configuration program accepts before it writes anything: the checks of the save
// action, in the order the dialog runs them, each naming the field at fault and its message.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/base/ascii.h"

namespace vorlane::ostmere {

// [GeneralInfo] as the dialog edits it: the protocol's index (0 Telnet, 1 SSH) and the port as
// typed.
struct GeneralFields {
  int protocolIndex = 1;
  std::string port;
};

// One user/group entry as the dialog edits it; the password in plain text.
struct UserFields {
  std::string type;  // the section name
  std::string range;
  std::string userName;
  std::string password;
};

enum class Field { kPort, kType, kRange, kUserName, kPassword };

struct Refusal {
  Field field;
  std::string_view message;
};

// Names of sections and protocols compare without regard to ASCII case (EqualsIgnoringAsciiCase),
// as the profile layer and the agent compare them.
bool IsGeneralSection(std::string_view section);
// 0 for "Telnet", 1 for "SSH" (any case); nothing for any other name.
std::optional<int> ProtocolIndex(std::string_view name);

// A port as the number edit holds it: decimal digits only, 1 to 65535.
std::optional<int> ParsePort(std::string_view text);

// Empty, "a.b.c.d" or "a.b.c.d-x.y.z.v", each number one to three digits of at most 255. A
// single address has no leading zeros, because the agent compares it as text with the client's
// address; a range runs upwards, because the agent admits nobody from a reversed one.
bool IsValidRange(std::string_view range);

// The port check of the save action.
std::optional<Refusal> CheckGeneral(const GeneralFields& general);

// The user checks of the save action, first failure first: type, user name, password, range.
// The type must be a section name the file can hold. Lengths count bytes of the stored 8-bit text.
std::optional<Refusal> CheckUser(const UserFields& user);

}  // namespace vorlane::ostmere
