#include "testing/shell_command.h"

#include "testing/run_program.h"

namespace vorlane::testkit {

ShellCommandResult RunShellCommand(const std::string& commandLine) {
  const ProgramRun run = RunProgram({"/bin/sh", "-c", commandLine});
  return {run.exitStatus, run.out};
}

}  // namespace vorlane::testkit
