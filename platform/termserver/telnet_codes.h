// The Telnet protocol's command bytes and the option numbers we negotiate (RFC 854, 855, 857,
// 858, 1091, 1408, 1572), for both ends: the server's parser and the query tool's client filter.
#pragma once

#include <cstdint>

namespace vorlane::telnet {

inline constexpr uint8_t kSe = 240;
inline constexpr uint8_t kNop = 241;
inline constexpr uint8_t kDataMark = 242;
inline constexpr uint8_t kBreak = 243;
inline constexpr uint8_t kInterrupt = 244;
inline constexpr uint8_t kAbortOutput = 245;
inline constexpr uint8_t kAreYouThere = 246;
inline constexpr uint8_t kEraseChar = 247;
inline constexpr uint8_t kEraseLine = 248;
inline constexpr uint8_t kGoAhead = 249;
inline constexpr uint8_t kSb = 250;
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kIac = 255;

inline constexpr uint8_t kOptionEcho = 1;
inline constexpr uint8_t kOptionSuppressGoAhead = 3;
inline constexpr uint8_t kOptionTerminalType = 24;
inline constexpr uint8_t kOptionEnviron = 36;
inline constexpr uint8_t kOptionNewEnviron = 39;

}  // namespace vorlane::telnet
