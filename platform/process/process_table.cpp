// The process table read from /proc. A count over all processes runs on every check the agent is
// asked for, so the per-process work is kept to the least the kernel makes us do: one open and
// one read of <pid>/comm, and only for names the kernel cut short, a read of <pid>/cmdline and
// perhaps a readlink of <pid>/exe. Files are opened relative to the already open /proc folder
// so no path is built per process, and nothing allocates except the sorted pid list.
#include "platform/process/process_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/base/unique_fd.h"

namespace vorlane::platform {
namespace {

// The kernel keeps at most this many bytes of a command name (TASK_COMM_LEN less the NUL).
constexpr size_t kCommCut = 15;

// Longest pid folder name we take; real pids have at most 7 digits, and 19 always fit a uint64.
constexpr size_t kMaxPidDigits = 19;

// readlink of <pid>/exe says this after the path when the program file was removed or replaced
// since the process started (as after a package upgrade); it is no part of the program's name.
constexpr std::string_view kDeletedSuffix = " (deleted)";

struct PidEntry {
  uint64_t pid;
  char name[kMaxPidDigits + 1];
};

int OpenAt(int dirFd, const char* path) {
  int fd;
  do {
    fd = ::openat(dirFd, path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

ssize_t ReadSome(int fd, char* buffer, size_t size) {
  ssize_t n;
  do {
    n = ::read(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  return n;
}

// "<prefix><leaf>" into `out`; false when it does not fit.
bool JoinPath(char* out, size_t outSize, std::string_view prefix, std::string_view leaf) {
  if (prefix.size() + leaf.size() + 1 > outSize) return false;
  std::memcpy(out, prefix.data(), prefix.size());
  std::memcpy(out + prefix.size(), leaf.data(), leaf.size());
  out[prefix.size() + leaf.size()] = '\0';
  return true;
}

std::string_view BaseName(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The base name of argv[0] from <pid>/cmdline, in `buffer`. Empty for kernel threads and
// zombies (their cmdline is empty) and when the process is gone.
std::string_view ArgvZeroBaseName(int dirFd, std::string_view prefix, char* buffer, size_t size) {
  char path[64];
  if (!JoinPath(path, sizeof path, prefix, "cmdline")) return {};
  UniqueFd fd(OpenAt(dirFd, path));
  if (!fd) return {};
  // argv[0] normally comes whole in the first read; go on only while no NUL has been seen.
  size_t used = 0;
  while (used < size) {
    const ssize_t n = ReadSome(fd.get(), buffer + used, size - used);
    if (n <= 0) break;
    const void* nul = std::memchr(buffer + used, '\0', static_cast<size_t>(n));
    used += static_cast<size_t>(n);
    if (nul != nullptr) break;
  }
  std::string_view argv0(buffer, used);
  argv0 = argv0.substr(0, argv0.find('\0'));
  return BaseName(argv0);
}

std::string_view ExeTargetBaseName(std::string_view target);

// The base name of the program file from the <pid>/exe link, in `buffer`. Empty when the link
// cannot be read (kernel threads, other users' processes without the right to look, gone).
std::string_view ExeBaseName(int dirFd, std::string_view prefix, char* buffer, size_t size) {
  char path[64];
  if (!JoinPath(path, sizeof path, prefix, "exe")) return {};
  const ssize_t n = ::readlinkat(dirFd, path, buffer, size);
  if (n <= 0) return {};
  return ExeTargetBaseName(std::string_view(buffer, static_cast<size_t>(n)));
}

// The instance name of the process whose folder is "<prefix>" relative to `dirFd` (prefix is
// "<pid>/" below a /proc folder, or "" when dirFd is the pid folder itself). Empty when gone.
std::string InstanceNameAt(int dirFd, std::string_view prefix) {
  char path[64];
  if (!JoinPath(path, sizeof path, prefix, "comm")) return {};
  char comm[256];
  ssize_t n;
  {
    UniqueFd fd(OpenAt(dirFd, path));
    if (!fd) return {};
    // The kernel hands the whole name (at most 16 bytes with the newline) in one read.
    n = ReadSome(fd.get(), comm, sizeof comm);
  }
  if (n <= 0) return {};
  std::string_view name(comm, static_cast<size_t>(n));
  if (name.ends_with('\n')) name.remove_suffix(1);
  if (!IsCutCommandName(name)) return std::string(name);

  // The kernel cut the name; the program's own name is the one that starts with the cut.
  char candidate[4096];
  std::string_view full = ArgvZeroBaseName(dirFd, prefix, candidate, sizeof candidate);
  if (full.starts_with(name)) return std::string(full);
  full = ExeBaseName(dirFd, prefix, candidate, sizeof candidate);
  if (full.starts_with(name)) return std::string(full);
  return std::string(name);
}

std::string_view ExeTargetBaseName(std::string_view target) {
  if (target.size() > kDeletedSuffix.size() && target.ends_with(kDeletedSuffix)) {
    target.remove_suffix(kDeletedSuffix.size());
  }
  return BaseName(target);
}

// The pid of an all-digit folder name; false for any other name.
bool ParsePid(const char* name, uint64_t* pid) {
  uint64_t value = 0;
  size_t length = 0;
  for (; name[length] != '\0'; ++length) {
    const char c = name[length];
    if (c < '0' || c > '9' || length == kMaxPidDigits) return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (length == 0) return false;
  *pid = value;
  return true;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

uint32_t ForEachProcessInstanceIn(const std::filesystem::path& procRoot,
                                  const std::function<void(std::string_view name)>& visit) {
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(procRoot.c_str()), &::closedir);
  if (!dir) return kPdhNoObject;

  // /proc lists pids ascending, but nothing promises it (and a copied tree has any order).
  std::vector<PidEntry> pids;
  pids.reserve(512);
  while (const dirent* entry = ::readdir(dir.get())) {
    PidEntry pid;
    if (!ParsePid(entry->d_name, &pid.pid)) continue;
    std::memcpy(pid.name, entry->d_name, std::strlen(entry->d_name) + 1);
    pids.push_back(pid);
  }
  std::sort(pids.begin(), pids.end(), [](const PidEntry& a, const PidEntry& b) {
    return a.pid != b.pid ? a.pid < b.pid : std::strcmp(a.name, b.name) < 0;
  });

  const int dirFd = ::dirfd(dir.get());
  char prefix[kMaxPidDigits + 2];
  for (const PidEntry& pid : pids) {
    const size_t length = std::strlen(pid.name);
    std::memcpy(prefix, pid.name, length);
    prefix[length] = '/';
    const std::string name = InstanceNameAt(dirFd, std::string_view(prefix, length + 1));
    if (!name.empty()) visit(name);
  }
  visit(kTotalInstance);
  return kProcessStatusOk;
}

uint32_t ForEachProcessInstance(std::string_view host, const std::function<void(std::string_view name)>& visit) {
  // This layer reads this host's /proc only; any named host, even this one's own name, would
  // need a remote connection it does not have.
  if (!host.empty()) return kPdhNoMachine;
  return ForEachProcessInstanceIn("/proc", visit);
}

std::string ProcessInstanceName(const std::filesystem::path& procPidDir) {
  UniqueFd dirFd(::open(procPidDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dirFd) return {};
  return InstanceNameAt(dirFd.get(), "");
}

ProcessCount CountProcessInstances(std::string_view host, std::string_view name) {
  int32_t count = 0;
  const uint32_t status = ForEachProcessInstance(host, [&](std::string_view instance) {
    if (SameInstanceName(instance, name)) ++count;
  });
  if (status != kProcessStatusOk) return ProcessCount{-1, status};
  return ProcessCount{count, kProcessStatusOk};
}

bool IsCutCommandName(std::string_view comm) { return comm.size() == kCommCut; }

std::string InstanceNameOf(std::string_view comm, std::string_view argv0, std::string_view exeTarget) {
  if (!IsCutCommandName(comm)) return std::string(comm);
  if (const std::string_view full = BaseName(argv0.substr(0, argv0.find('\0'))); full.starts_with(comm)) {
    return std::string(full);
  }
  if (const std::string_view full = ExeTargetBaseName(exeTarget); full.starts_with(comm)) return std::string(full);
  return std::string(comm);
}

bool SameInstanceName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

std::string ProcessStatusText(uint32_t status) {
  switch (status) {
    case kPdhNoMachine:
      return "Unable to connect to the specified computer or the computer is offline.\r\n";
    case kPdhNoObject:
      return "The specified object is not found on the system.\r\n";
    case kPdhMoreData:
      return "There is more data to return than would fit in the supplied buffer. Allocate a larger buffer "
             "and call the function again.\r\n";
    case kRpcCallFailed:
      return "The remote procedure call failed.\r\n";
    case 5:  // access denied
      return "Access is denied.\r\n";
    default:
      return "";
  }
}

}  // namespace vorlane::platform
