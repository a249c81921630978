// Running a command line through /bin/sh in a test and collecting what it prints.
#pragma once

#include <string>

namespace vorlane::testkit {

struct ShellCommandResult {
  int exitStatus = -1;  // -1 when it could not run or did not exit normally
  std::string output;   // standard output; standard error goes where the test's goes
};

ShellCommandResult RunShellCommand(const std::string& commandLine);

}  // namespace vorlane::testkit
