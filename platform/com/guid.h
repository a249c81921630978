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

// A new random GUID (RFC 4122 version 4, variant 1) from the kernel's CSPRNG.
Result<Guid> CreateGuid();

// "6B29FC40-CA47-1067-B31D-00DD010662DA": upper-case hex, no braces (36 characters).
std::string FormatGuid(const Guid& guid);
// The same within braces, as class and interface ids are written in the registry.
std::string FormatGuidBraced(const Guid& guid);
// Reads either form, hex digits of either case; nothing else is accepted.
std::optional<Guid> ParseGuid(std::string_view text);

}  // namespace vorlane::com
