// The record reader and the number reader on arbitrary request bytes.
//
// Input: one byte giving the key length (mod 32), the key, then the record. FindRecordValue is
// held against the plain reading of its contract (the value after the first "#key=", up to the
// next '#'), and ParseRecordNumber against strtoll held at the 32-bit limits.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

#include "agent/request/record.h"
#include "fuzz/fuzz_check.h"

namespace {

std::string_view ReferenceValue(std::string_view record, std::string_view key) {
  const std::string pattern = "#" + std::string(key) + "=";
  const size_t hash = record.find(pattern);
  if (hash == std::string_view::npos) return {};
  const size_t valueStart = hash + pattern.size();
  const size_t end = record.find('#', hash + 1);
  if (end == std::string_view::npos || end < valueStart) return {};
  return record.substr(valueStart, end - valueStart);
}

int32_t ReferenceNumber(std::string_view text) {
  // strtoll reads the same white space, sign and digits in the C locale; a NUL ends its text
  // where it would end the digits anyway.
  const std::string copy(text.substr(0, text.find('\0')));
  errno = 0;
  const long long value = std::strtoll(copy.c_str(), nullptr, 10);
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t keyLength = std::min<size_t>(data[0] % 32, size - 1);
  const std::string_view key(reinterpret_cast<const char*>(data + 1), keyLength);
  const std::string_view record(reinterpret_cast<const char*>(data + 1 + keyLength), size - 1 - keyLength);

  const std::string_view value = vorlane::agent::FindRecordValue(record, key);
  const std::string_view expected = ReferenceValue(record, key);
  FUZZ_CHECK(value == expected);
  if (!value.empty()) {
    // The very bytes of the record, never a copy, and never a '#' inside a value.
    FUZZ_CHECK(value.data() == expected.data());
    FUZZ_CHECK(value.find('#') == std::string_view::npos);
  }

  FUZZ_CHECK(vorlane::agent::ParseRecordNumber(record) == ReferenceNumber(record));
  // A value read from a record is what a number parameter is parsed from.
  FUZZ_CHECK(vorlane::agent::ParseRecordNumber(value) == ReferenceNumber(value));
  return 0;
}
