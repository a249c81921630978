// GUIDs: the 128-bit identifiers of classes, interfaces and sessions.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/result.h"

namespace vorlane::com {

struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {};

  friend bool operator==(const Guid&, const Guid&) = default;
  friend auto operator<=>(const Guid&, const Guid&) = default;
};

namespace detail {
constexpr int GuidHexDigit(char c) {
  return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}
constexpr uint32_t GuidHex(const char* text, int digits) {
  uint32_t value = 0;
  for (int i = 0; i < digits; ++i) {
    int d = GuidHexDigit(text[i]);
    if (d < 0) throw "bad hex digit in GUID literal";  // a compile-time error in constant evaluation
    value = value << 4 | static_cast<uint32_t>(d);
  }
  return value;
}
}  // namespace detail

// A GUID written as a literal, "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX"; checked at compile time.
consteval Guid GuidLiteral(const char (&text)[37]) {
  if (text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') throw "bad GUID literal";
  Guid guid;
  guid.data1 = detail::GuidHex(text, 8);
  guid.data2 = static_cast<uint16_t>(detail::GuidHex(text + 9, 4));
  guid.data3 = static_cast<uint16_t>(detail::GuidHex(text + 14, 4));
  guid.data4[0] = static_cast<uint8_t>(detail::GuidHex(text + 19, 2));
  guid.data4[1] = static_cast<uint8_t>(detail::GuidHex(text + 21, 2));
  for (int i = 0; i < 6; ++i) guid.data4[2 + i] = static_cast<uint8_t>(detail::GuidHex(text + 24 + 2 * i, 2));
  return guid;
}

using IID = Guid;
using CLSID = Guid;
inline constexpr Guid IID_NULL{};

// A new random GUID (RFC 4122 version 4, variant 1) from the kernel's CSPRNG.
Result<Guid> CreateGuid();

// "6B29FC40-CA47-1067-B31D-00DD010662DA": upper-case hex, no braces (36 characters).
std::string FormatGuid(const Guid& guid);
// The same within braces, as class and interface ids are written in the registry.
std::string FormatGuidBraced(const Guid& guid);
// Reads either form, hex digits of either case; nothing else is accepted.
std::optional<Guid> ParseGuid(std::string_view text);

}  // namespace vorlane::com
