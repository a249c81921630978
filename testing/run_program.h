// Runs a program to its end for a test: arguments, text on its standard input, its output and
// exit status, bounded in time.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace vorlane::testkit {

struct ProgramRun {
  int exitStatus = -1;  // the exit code; -1 when it did not end by itself in time or died of a signal
  std::string out;
  std::string err;
};

// Runs argv[0] (a path) with `argv`, `input` as its standard input and the test's environment
// plus `extraEnv` ("NAME=value"). A program still running after `limit` is killed.
ProgramRun RunProgram(const std::vector<std::string>& argv, std::string_view input = "",
                      const std::vector<std::string>& extraEnv = {},
                      std::chrono::milliseconds limit = std::chrono::seconds(20));

}  // namespace vorlane::testkit
