// The agent's entry: one program that installs and removes its service, prints its version, and
// runs as the service (or in the foreground with /console).
#include <strings.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "agent/protocol/dispatcher.h"
#include "agent/service/service_control.h"

namespace {

constexpr int kNotStartedAsService = 2;
constexpr const char* kUsage = "Bad param! \nUSAGE: vorlane [/install] [/uninstall] [/version]\n";

bool Is(const char* argument, const char* slashForm, const char* dashForm) {
  return ::strcasecmp(argument, slashForm) == 0 || ::strcasecmp(argument, dashForm) == 0;
}

std::filesystem::path Executable() {
  std::error_code error;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path("vorlane") : path;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vorlane::agent;
  if (argc > 1) {
    const char* argument = argv[1];
    if (Is(argument, "/install", "--install")) {
      return InstallService(Executable()) ? 0 : 1;
    }
    if (Is(argument, "/uninstall", "--uninstall")) {
      return UninstallService() ? 0 : 1;
    }
    if (Is(argument, "/version", "--version")) {
      std::printf("%s version %.*s\n", kServiceName, static_cast<int>(kAgentVersion.size()), kAgentVersion.data());
      return 0;
    }
    if (Is(argument, "/console", "--console")) return RunAgent(true);
    std::printf("%s", kUsage);
  }
  std::fflush(stdout);
  if (!StartedBySystemd()) return kNotStartedAsService;
  return RunAgent(false);
}
