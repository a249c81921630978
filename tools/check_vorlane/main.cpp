// check_vorlane: runs one check of a Vorlane agent as a monitoring plugin. See PluginHelp().
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/check_vorlane/run.h"

namespace {

// Written by the alarm's handler, which may only write and leave.
char gTimeoutLine[512];
size_t gTimeoutLength = 0;

void OnAlarm(int /*signal*/) {
  (void)!::write(STDOUT_FILENO, gTimeoutLine, gTimeoutLength);
  ::_exit(vorlane::plugin::kExitUnknown);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vorlane::plugin;
  const std::vector<std::string> args(argv + 1, argv + argc);
  const PluginParse parsed = ParsePluginOptions(args, [](const char* name) { return std::getenv(name); });
  if (!parsed.warning.empty()) std::cerr << "check_vorlane: warning: " << parsed.warning << "\n";
  if (!parsed.options) {
    std::cout << UnknownLine("", parsed.error) << "\n" << PluginUsage();
    return kExitUnknown;
  }
  const PluginOptions& options = *parsed.options;
  if (options.help) {
    std::cout << PluginHelp();
    return kExitOk;
  }
  if (options.version) {
    std::cout << PluginVersion();
    return kExitOk;
  }

  // The bound on the whole exchange, whatever step it is in.
  const std::string line =
      UnknownLine(options.list ? "" : options.checkId,
                  "no answer within " + std::to_string(options.timeoutSeconds) + " s (the whole exchange)") +
      "\n";
  gTimeoutLength = std::min(line.size(), sizeof gTimeoutLine - 1);
  std::memcpy(gTimeoutLine, line.data(), gTimeoutLength);
  gTimeoutLine[gTimeoutLength - 1] = '\n';
  struct sigaction action {};
  action.sa_handler = OnAlarm;
  ::sigaction(SIGALRM, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  ::alarm(static_cast<unsigned>(options.timeoutSeconds));

  std::ostringstream out;
  const int code = RunPlugin(options, out, std::cerr);
  ::alarm(0);
  std::cout << out.str() << std::flush;
  return code;
}
