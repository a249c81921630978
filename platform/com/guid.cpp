#include "platform/com/guid.h"

#include <errno.h>
#include <string.h>
#include <sys/random.h>

#include <cstdio>

namespace vorlane::com {

Result<Guid> CreateGuid() {
  uint8_t bytes[16];
  size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t n = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error{errno, std::string("getrandom failed: ") + ::strerror(errno)};
    }
    filled += static_cast<size_t>(n);
  }
  Guid guid;
  guid.data1 = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
               static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
  guid.data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
  guid.data3 = static_cast<uint16_t>((bytes[6] << 8 | bytes[7]) & 0x0FFF) | 0x4000;  // version 4
  ::memcpy(guid.data4, bytes + 8, 8);
  guid.data4[0] = static_cast<uint8_t>((guid.data4[0] & 0x3F) | 0x80);  // variant 1
  return guid;
}

std::string FormatGuid(const Guid& g) {
  char text[37];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.data1, g.data2,
                g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6],
                g.data4[7]);
  return text;
}

std::string FormatGuidBraced(const Guid& guid) { return "{" + FormatGuid(guid) + "}"; }

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<Guid> ParseGuid(std::string_view text) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36) return std::nullopt;
  uint8_t bytes[16];
  size_t b = 0;
  for (size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    int high = HexValue(text[i]);
    int low = HexValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes[b++] = static_cast<uint8_t>(high << 4 | low);
    i += 2;
  }
  Guid guid;
  guid.data1 = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
               static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
  guid.data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
  guid.data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
  ::memcpy(guid.data4, bytes + 8, 8);
  return guid;
}

}  // namespace vorlane::com
