// Filling placeholders into a text.
#pragma once

#include <string>
#include <string_view>

namespace vorlane {

// Replaces every occurrence of `placeholder`, scanning on after each inserted text so that a
// replacement that happens to contain the placeholder cannot make the loop run away.
inline std::string ReplaceAll(std::string text, std::string_view placeholder, std::string_view replacement) {
  if (placeholder.empty()) return text;
  for (size_t at = text.find(placeholder); at != std::string::npos;
       at = text.find(placeholder, at + replacement.size())) {
    text.replace(at, placeholder.size(), replacement);
  }
  return text;
}

}  // namespace vorlane
