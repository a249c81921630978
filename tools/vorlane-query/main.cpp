// vorlane-query: sends request records to a Vorlane agent over SSH or Telnet and prints the
// answers. See UsageText() for the command line.
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "tools/vorlane-query/options.h"
#include "tools/vorlane-query/run.h"

int main(int argc, char** argv) {
  using namespace vorlane::query;
  const std::vector<std::string> args(argv + 1, argv + argc);
  const ParseResult parsed = ParseOptions(args, [](const char* name) { return std::getenv(name); });
  if (!parsed.options) {
    std::cerr << "vorlane-query: " << parsed.error << "\n" << UsageText();
    return kExitUsage;
  }
  if (!parsed.warning.empty()) std::cerr << "vorlane-query: warning: " << parsed.warning << "\n";
  if (parsed.options->help) {
    std::cout << UsageText();
    return kExitOk;
  }
  return RunQuery(*parsed.options, std::cin, std::cout, std::cerr);
}
