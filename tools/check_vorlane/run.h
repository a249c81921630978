// One run of the plugin: log in, ask, log out, and report.
#pragma once

#include <ostream>

#include "tools/check_vorlane/plugin.h"

namespace vorlane::plugin {

// Prints the status line (or, for --list, the description) to `out` and returns the exit code;
// notes such as an SSH host key go to `err`.
int RunPlugin(const PluginOptions& options, std::ostream& out, std::ostream& err);

}  // namespace vorlane::plugin
