#include "testing/shell_command.h"

#include <sys/wait.h>

#include <cstdio>

namespace vorlane::testkit {

ShellCommandResult RunShellCommand(const std::string& commandLine) {
  ShellCommandResult result;
  FILE* pipe = ::popen(commandLine.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[65536];
  // Bounded in rounds: 64 MiB of output is far beyond what any test reads.
  for (int rounds = 0; rounds < 1024; ++rounds) {
    const size_t n = std::fread(buffer, 1, sizeof buffer, pipe);
    if (n == 0) break;
    result.output.append(buffer, n);
  }
  const int status = ::pclose(pipe);
  result.exitStatus = (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace vorlane::testkit
