// Quoting of command arguments for a POSIX shell on another host.
#pragma once

#include <string>
#include <string_view>

namespace vorlane::platform {

// `text` as one word of a POSIX shell command line, whatever it holds: inside single quotes,
// where the shell gives no character a meaning, with each single quote written as '\''.
std::string QuoteForShell(std::string_view text);

}  // namespace vorlane::platform
