#include "platform/remote/shell_quote.h"

namespace vorlane::platform {

std::string QuoteForShell(std::string_view text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted += '\'';
  for (const char c : text) {
    // A single quote cannot stand inside single quotes: close them, add an escaped quote, reopen.
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

}  // namespace vorlane::platform
