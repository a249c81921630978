// The socket error codes this system reports (the numbering and texts its clients know), and the
// mapping from errno values and resolver results to them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorlane::net {

// The resolver's failures.
inline constexpr int32_t kHostNotFound = 11001;
inline constexpr int32_t kTryAgain = 11002;
inline constexpr int32_t kNoRecovery = 11003;
inline constexpr int32_t kNoData = 11004;

// The socket code for an errno value. Values without a socket counterpart become
// 10000 + errno when that code has no text of its own, else 10022 (invalid argument), so that a
// reported code never names a different, known failure.
int32_t SocketCodeFromErrno(int error);
// The socket code for a getaddrinfo result (EAI_SYSTEM reads errno).
int32_t SocketCodeFromResolver(int eaiCode, int savedErrno);

// The description of a socket code, or "(no description available)".
std::string_view SocketErrorDescription(int32_t code);
// "[" code "] " + description.
std::string SocketErrorText(int32_t code);

}  // namespace vorlane::net
