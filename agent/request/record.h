// Reading key/value records: "#keycount=N#key1=value1#...#keyN=valueN#".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorlane::agent {

// The value of the first "#key=" in `record`, up to the next '#'; empty when the key is absent
// or its pair is not closed by '#'. Keys match byte for byte, and only as whole keys ("#" before,
// "=" after), so "Password" never finds "*Password". Never fails; nothing is trimmed.
std::string_view FindRecordValue(std::string_view record, std::string_view key);

inline std::string GetRecordValue(std::string_view record, std::string_view key) {
  return std::string(FindRecordValue(record, key));
}

// A number parameter of a request: optional white space, an optional sign and the leading decimal
// digits; no digits give 0 and values beyond the signed 32-bit range are held at its limits.
int32_t ParseRecordNumber(std::string_view text);

// Whether a value read from a request holds a NUL byte: the system would see it cut there, so
// such a value may never name a file, a program or a credential.
inline bool HoldsNul(std::string_view value) { return value.find('\0') != std::string_view::npos; }

}  // namespace vorlane::agent
