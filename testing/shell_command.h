// Running a command line through /bin/sh in a test and collecting what it prints, bounded in time
// as RunProgram is.
#pragma once

#include <string>

namespace vorlane::testkit {

struct ShellCommandResult {
  int exitStatus = -1;  // -1 when it could not run or did not exit normally
  std::string output;   // standard output
};

ShellCommandResult RunShellCommand(const std::string& commandLine);

}  // namespace vorlane::testkit
