#include "agent/checks/process_launch.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

extern char** environ;

namespace vorlane::agent {
namespace {

constexpr const char* kNullDevice = "/dev/null";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Characters that a backslash escapes inside double quotes; before any other character the
// backslash stays, as in a shell.
bool EscapableInDoubleQuotes(char c) { return c == '$' || c == '`' || c == '"' || c == '\\' || c == '\n'; }

// The spawn attributes and file actions as RAII objects, so that every return path frees them.
class SpawnSettings {
 public:
  SpawnSettings() {
    attrOk_ = ::posix_spawnattr_init(&attr_) == 0;
    actionsOk_ = ::posix_spawn_file_actions_init(&actions_) == 0;
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;
  ~SpawnSettings() {
    if (actionsOk_) ::posix_spawn_file_actions_destroy(&actions_);
    if (attrOk_) ::posix_spawnattr_destroy(&attr_);
  }

  // 0 or the errno value of the first setting that could not be made.
  int Prepare() {
    if (!attrOk_ || !actionsOk_) return ENOMEM;
    // A session of its own, so that the program is no part of the agent's process group or
    // terminal and goes on when the agent stops. Signal mask and dispositions are reset because
    // ignored signals and the mask would otherwise pass through exec from the agent's thread.
    sigset_t none;
    sigset_t all;
    ::sigemptyset(&none);
    ::sigfillset(&all);
    const short flags = POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (int rc = ::posix_spawnattr_setflags(&attr_, flags); rc != 0) return rc;
    if (int rc = ::posix_spawnattr_setsigmask(&attr_, &none); rc != 0) return rc;
    if (int rc = ::posix_spawnattr_setsigdefault(&attr_, &all); rc != 0) return rc;
    // Standard streams on /dev/null and nothing else of the agent's (sockets of other
    // connections, configuration files): the program must not hold them open.
    if (int rc = ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, kNullDevice, O_RDONLY, 0); rc != 0)
      return rc;
    if (int rc = ::posix_spawn_file_actions_addopen(&actions_, STDOUT_FILENO, kNullDevice, O_WRONLY, 0); rc != 0)
      return rc;
    if (int rc = ::posix_spawn_file_actions_adddup2(&actions_, STDOUT_FILENO, STDERR_FILENO); rc != 0) return rc;
    if (int rc = ::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1); rc != 0) return rc;
    return 0;
  }

  const posix_spawnattr_t* attr() const { return &attr_; }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }

 private:
  posix_spawnattr_t attr_{};
  posix_spawn_file_actions_t actions_{};
  bool attrOk_ = false;
  bool actionsOk_ = false;
};

// Waits for the program on a thread of its own: the agent keeps nothing of the program, but as
// its parent it must collect the exit status, or the program would stay a zombie until the agent
// ends. waitpid for this one pid never takes the status of a child that other code waits for.
void ReapWhenDone(pid_t pid) {
  try {
    std::thread([pid] {
      while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (const std::system_error&) {
    // No thread to be had: the program runs all the same, and the only cost is a zombie.
  }
}

}  // namespace

CommandWords SplitCommandLine(std::string_view line) {
  CommandWords result;
  std::string word;
  bool inWord = false;  // a word has begun, even if it is still empty (after "")
  size_t i = 0;
  const size_t n = line.size();
  while (i < n) {
    const char c = line[i];
    if (IsBlank(c)) {
      if (inWord) {
        result.words.push_back(std::move(word));
        word.clear();
        inWord = false;
      }
      ++i;
    } else if (c == '\\') {
      if (i + 1 >= n) return {{}, EINVAL};
      if (line[i + 1] != '\n') {
        word += line[i + 1];
        inWord = true;
      }
      i += 2;
    } else if (c == '\'') {
      const size_t close = line.find('\'', i + 1);
      if (close == std::string_view::npos) return {{}, EINVAL};
      word.append(line.substr(i + 1, close - i - 1));
      inWord = true;
      i = close + 1;
    } else if (c == '"') {
      inWord = true;
      ++i;
      bool closed = false;
      while (i < n) {
        const char d = line[i];
        if (d == '"') {
          closed = true;
          ++i;
          break;
        }
        if (d == '\\' && i + 1 < n && EscapableInDoubleQuotes(line[i + 1])) {
          if (line[i + 1] != '\n') word += line[i + 1];
          i += 2;
          continue;
        }
        word += d;
        ++i;
      }
      if (!closed) return {{}, EINVAL};
    } else {
      word += c;
      inWord = true;
      ++i;
    }
  }
  if (inWord) result.words.push_back(std::move(word));
  if (result.words.empty()) result.error = ENOENT;
  return result;
}

int StartDetachedProcess(std::string_view commandLine) {
  CommandWords split = SplitCommandLine(commandLine);
  if (split.error != 0) return split.error;

  std::vector<char*> argv;
  argv.reserve(split.words.size() + 1);
  for (std::string& word : split.words) argv.push_back(word.data());
  argv.push_back(nullptr);

  SpawnSettings settings;
  if (int rc = settings.Prepare(); rc != 0) return rc;

  // glibc starts the child with vfork semantics and returns the errno of a failed exec (program
  // missing, not executable, bad format), so a program that did not start is never reported as
  // started. posix_spawnp looks the program up on PATH only when its name holds no '/'.
  pid_t pid = 0;
  if (int rc = ::posix_spawnp(&pid, argv[0], settings.actions(), settings.attr(), argv.data(), environ); rc != 0)
    return rc;
  ReapWhenDone(pid);
  return 0;
}

std::string SystemMessageText(int errnum) {
  char buffer[256];
  // The GNU strerror_r, which may return a static text instead of filling the buffer.
  return ::strerror_r(errnum, buffer, sizeof buffer);
}

}  // namespace vorlane::agent
