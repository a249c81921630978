#include "agent/request/record.h"

#include <cstdint>
#include <limits>

namespace vorlane::agent {

std::string_view FindRecordValue(std::string_view record, std::string_view key) {
  // Search for '#' + key + '=' without building the pattern: find each '#' followed by the key
  // and an '='. memchr-driven, so long values are skipped quickly.
  const size_t need = key.size() + 2;
  size_t pos = 0;
  while (pos + need <= record.size()) {
    size_t hash = record.find('#', pos);
    if (hash == std::string_view::npos || hash + need > record.size()) return {};
    if (record.compare(hash + 1, key.size(), key) == 0 && record[hash + 1 + key.size()] == '=') {
      const size_t valueStart = hash + need;
      // The value ends at the next '#' after the pair's own '#'. A key that itself holds '#'
      // would make that '#' fall inside the pattern; such a pair reads as empty.
      size_t end = record.find('#', hash + 1);
      if (end == std::string_view::npos || end < valueStart) return {};
      return record.substr(valueStart, end - valueStart);
    }
    pos = hash + 1;
  }
  return {};
}

int32_t ParseRecordNumber(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size() && (text[pos] == ' ' || (text[pos] >= '\t' && text[pos] <= '\r'))) ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
  // Accumulated in 64 bits and held at the 32-bit limits as soon as it passes them, so no
  // number of digits can overflow.
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t magnitude = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    magnitude = magnitude * 10 + (text[pos] - '0');
    if (magnitude > kLimit) magnitude = kLimit;
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(value);
}

}  // namespace vorlane::agent
