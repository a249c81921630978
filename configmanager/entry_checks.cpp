#include "configmanager/entry_checks.h"

#include <algorithm>
#include <cstdint>

#include "configmanager/texts.h"

namespace vorlane::ostmere {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A section name that the INI file gives back as written: the reader trims blanks around it and
// ends it at the first ']', and a line break or NUL would end its line.
bool IsStorableSectionName(std::string_view name) {
  if (IsBlank(name.front()) || IsBlank(name.back())) return false;
  return name.find_first_of(std::string_view("]\r\n\0", 4)) == std::string_view::npos;
}

// "a.b.c.d" as a number, or nothing when the text is not of that form. `canonical` also refuses
// leading zeros, so that the text is the one a client's address is written as.
std::optional<uint32_t> ParseAddress(std::string_view text, bool canonical) {
  uint32_t value = 0;
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    size_t begin = pos;
    unsigned number = 0;
    while (pos < text.size() && IsDigit(text[pos]) && pos - begin < 3) number = number * 10 + (text[pos++] - '0');
    size_t digits = pos - begin;
    if (digits == 0 || number > 255) return std::nullopt;
    if (canonical && digits > 1 && text[begin] == '0') return std::nullopt;
    value = value << 8 | number;
  }
  if (pos != text.size()) return std::nullopt;
  return value;
}

}  // namespace

bool IsGeneralSection(std::string_view section) { return EqualsIgnoringAsciiCase(section, kGeneralSection); }

std::optional<int> ProtocolIndex(std::string_view name) {
  for (int index = 0; index < 2; ++index) {
    if (EqualsIgnoringAsciiCase(name, kProtocolNames[index])) return index;
  }
  return std::nullopt;
}

std::optional<int> ParsePort(std::string_view text) {
  if (text.empty()) return std::nullopt;
  int port = 0;
  for (char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    port = std::min(port * 10 + (c - '0'), 65536);  // saturates above the highest port
  }
  if (port < 1 || port > 65535) return std::nullopt;
  return port;
}

bool IsValidRange(std::string_view range) {
  if (range.empty()) return true;
  size_t dash = range.find('-');
  if (dash == std::string_view::npos) return ParseAddress(range, true).has_value();
  auto low = ParseAddress(range.substr(0, dash), false);
  auto high = ParseAddress(range.substr(dash + 1), false);
  return low && high && *low <= *high;
}

std::optional<Refusal> CheckGeneral(const GeneralFields& general) {
  if (!ParsePort(general.port)) return Refusal{Field::kPort, kBadPort};
  return std::nullopt;
}

std::optional<Refusal> CheckUser(const UserFields& user) {
  if (user.type.empty()) return Refusal{Field::kType, kNoType};
  if (!IsStorableSectionName(user.type)) return Refusal{Field::kType, kUnstorableType};
  if (IsGeneralSection(user.type)) return Refusal{Field::kType, kReservedType};
  if (user.type.size() > kMaxTypeLength) return Refusal{Field::kType, kLongType};
  if (user.userName.empty()) return Refusal{Field::kUserName, kNoUserName};
  if (user.userName.size() > kAgentUserFieldLength) return Refusal{Field::kUserName, kLongUserName};
  if (user.password.empty()) return Refusal{Field::kPassword, kNoPassword};
  if (user.password.size() > kMaxPasswordLength) return Refusal{Field::kPassword, kLongPassword};
  if (!IsValidRange(user.range)) return Refusal{Field::kRange, kBadRange};
  return std::nullopt;
}

}  // namespace vorlane::ostmere
