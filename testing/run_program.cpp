#include "testing/run_program.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testing/poll_until.h"
#include "testing/temp_dir.h"

extern char** environ;

namespace vorlane::testkit {

namespace {

ProgramRun Run(const std::vector<std::string>& argv, std::string_view input, const std::function<bool()>& stopWhen,
               const std::vector<std::string>& extraEnv, std::chrono::milliseconds limit) {
  ProgramRun run;
  if (argv.empty()) return run;
  // Input and output go through files, so neither side can block on a full pipe.
  const TempDir dir("vorlane-run");
  const auto inputFile = dir.WriteFile("stdin", input);
  const auto outFile = dir / "stdout";
  const auto errFile = dir / "stderr";

  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (std::string& arg : args) argp.push_back(arg.data());
  argp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, inputFile.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    run.err = "cannot start " + argv[0];
    return run;
  }
  int status = 0;
  bool ended = false;
  PollUntil(
      [&] {
        ended = ended || ::waitpid(pid, &status, WNOHANG) == pid;
        run.stopped = !ended && stopWhen && stopWhen();
        return ended || run.stopped;
      },
      limit, 5ms);
  if (!ended) {
    ::kill(pid, run.stopped ? SIGTERM : SIGKILL);
    ended = PollUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(5), 5ms);
    if (!ended) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
  } else if (WIFEXITED(status)) {
    run.exitStatus = WEXITSTATUS(status);
  }
  run.out = ReadFile(outFile);
  run.err = ReadFile(errFile);
  return run;
}

}  // namespace

ProgramRun RunProgram(const std::vector<std::string>& argv, std::string_view input,
                      const std::vector<std::string>& extraEnv, std::chrono::milliseconds limit) {
  return Run(argv, input, nullptr, extraEnv, limit);
}

ProgramRun RunProgramUntil(const std::vector<std::string>& argv, const std::function<bool()>& stopWhen,
                           const std::vector<std::string>& extraEnv, std::chrono::milliseconds limit) {
  return Run(argv, "", stopWhen, extraEnv, limit);
}

int RunUnprivileged(const std::function<int()>& body) {
  if (::geteuid() != 0) return body();
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    constexpr uid_t kNobody = 65534;
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(255);
    ::_exit(body());
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  const int code = WEXITSTATUS(status);
  return code == 255 ? -1 : code;
}

}  // namespace vorlane::testkit
