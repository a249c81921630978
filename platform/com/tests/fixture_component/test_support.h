// Helpers for the tests of the class registry, activation and regsvr: temporary folders and
// environment settings (from the shared test support), running a real program, and checking
// whether a library is mapped into this process.
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "testing/scoped_env.h"
#include "testing/temp_dir.h"

namespace vorlane::com::testing {

using testkit::TempDir;

using testkit::ScopedEnv;

struct ProgramResult {
  int exitCode = -1;   // -1 when the program did not exit normally
  std::string output;  // standard output and standard error together
};

// Runs `args[0]` with the arguments that follow, in `workingDir` when given, with this
// process's environment, and waits for it.
inline ProgramResult RunProgram(const std::vector<std::string>& args, const std::filesystem::path& workingDir = {}) {
  ProgramResult result;
  std::string outputFile = (std::filesystem::temp_directory_path() / "vorlane-com-out-XXXXXX").string();
  int fd = ::mkstemp(outputFile.data());
  if (fd < 0) return result;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    if (!workingDir.empty() && ::chdir(workingDir.c_str()) != 0) ::_exit(126);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(fd);
  int status = 0;
  // waitpid only returns early on a signal; a handful of retries is plenty.
  for (int attempt = 0; pid > 0 && attempt < 100; ++attempt) {
    if (::waitpid(pid, &status, 0) == pid) {
      if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
      break;
    }
  }
  result.output = testkit::ReadFile(outputFile);
  ::unlink(outputFile.c_str());
  return result;
}

// Whether the library at `path` is loaded in this process (without loading it).
inline bool IsLoaded(const std::filesystem::path& path) {
  void* handle = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (!handle) return false;
  ::dlclose(handle);
  return true;
}

using testkit::ReadFile;

}  // namespace vorlane::com::testing
