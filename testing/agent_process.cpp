#include "testing/agent_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testing/poll_until.h"

extern char** environ;

namespace vorlane::testkit {

int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

AgentProcess::AgentProcess() = default;

AgentProcess::~AgentProcess() { Stop(); }

void AgentProcess::AdvanceClock(long long seconds) {
  clock_ += seconds;
  WriteFile(dir_ / "clock", std::to_string(clock_));
}

bool AgentProcess::Start(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv) {
  AdvanceClock(0);
  std::vector<std::string> env = extraEnv;
  env.insert(env.end(), {"VORLANE_CONFIG_DIR=" + Dir().string(), "VORLANE_TEST_CLOCK_FILE=" + (dir_ / "clock").string(),
                         "TMPDIR=" + Dir().string()});
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    if (entry.rfind("VORLANE_", 0) != 0 && entry.rfind("TMPDIR=", 0) != 0 && entry.rfind("NOTIFY_SOCKET=", 0) != 0 &&
        entry.rfind("INVOCATION_ID=", 0) != 0) {
      env.push_back(entry);
    }
  }
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argvStrings = {VORLANE_AGENT_BINARY};
  argvStrings.insert(argvStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStrings) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, (dir_ / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, (dir_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0;
}

bool AgentProcess::WaitForLog(const std::string& text) {
  PollUntil([&] { return Exited() || Log().find(text) != std::string::npos; }, 20s);
  return Log().find(text) != std::string::npos;
}

void AgentProcess::Signal(int signal) {
  if (pid_ > 0 && !Exited()) ::kill(pid_, signal);
}

int AgentProcess::Stop(int signal) {
  if (pid_ <= 0) return exitStatus_;
  ::kill(pid_, signal);
  PollUntil([&] { return Exited(); }, 10s);
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = 0;
    exitStatus_ = -1;
  }
  return exitStatus_;
}

bool AgentProcess::Exited() {
  if (pid_ <= 0) return true;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = 0;
    return true;
  }
  return false;
}

int AgentProcess::WaitExit() {
  PollUntil([&] { return Exited(); }, 20s);
  return pid_ > 0 ? Stop() : exitStatus_;
}

}  // namespace vorlane::testkit
