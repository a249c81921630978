// Letter case in ASCII: names that settings files, the class registry and service managers compare
// without regard to case. Only A-Z and a-z fold; every other byte, UTF-8 included, compares as it is.
#pragma once

#include <string_view>

namespace vorlane {

constexpr char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

constexpr bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

}  // namespace vorlane
