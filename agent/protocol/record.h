// Reading key/value records: "#keycount=N#key1=value1#...#keyN=valueN#".
#pragma once

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

}  // namespace vorlane::agent
