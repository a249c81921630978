#include "agent/protocol/record.h"


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

}  // namespace vorlane::agent
