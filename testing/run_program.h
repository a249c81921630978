// Runs a program to its end for a test: arguments, text on its standard input, its output and
// exit status, bounded in time.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vorlane::testkit {

struct ProgramRun {
  int exitStatus = -1;  // the exit code; -1 when it did not end by itself or died of a signal
  bool stopped = false;  // ended by RunProgramUntil once its condition held
  std::string out;
  std::string err;
};

// Runs argv[0] (a path) with `argv`, `input` as its standard input and the test's environment
// plus `extraEnv` ("NAME=value"). A program still running after `limit` is killed.
ProgramRun RunProgram(const std::vector<std::string>& argv, std::string_view input = "",
                      const std::vector<std::string>& extraEnv = {},
                      std::chrono::milliseconds limit = std::chrono::seconds(20));

// The same for a program that runs until it is stopped (a window, a server): once `stopWhen()`
// holds while it runs, it is ended with SIGTERM and `stopped` is set.
ProgramRun RunProgramUntil(const std::vector<std::string>& argv, const std::function<bool()>& stopWhen,
                           const std::vector<std::string>& extraEnv = {},
                           std::chrono::milliseconds limit = std::chrono::seconds(20));

// Runs `body` without the privilege to ignore file permissions: directly when the tests run as
// an ordinary user, in a child process switched to "nobody" when they run as root. Returns what
// `body` returned (0 to 254), or -1 if the child could not be set up.
int RunUnprivileged(const std::function<int()>& body);

}  // namespace vorlane::testkit
