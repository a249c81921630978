#include "platform/profile/profile_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/base/unique_fd.h"

namespace vorlane::profile::detail {
namespace {

// Enough for any sane chain of links; the kernel gives up at 40 as well.
constexpr int kMaxSymlinkHops = 40;
// Each retry means another writer replaced the file between our open() and our flock(), i.e. it
// completed a whole update; this many in a row only happens under pathological contention.
constexpr int kMaxLockAttempts = 1000;
// Leaves room for the "." prefix and ".XXXXXX" suffix within NAME_MAX.
constexpr size_t kMaxTempStem = 200;

Error SystemError(int code, std::string_view what, const std::filesystem::path& file) {
  return Error{code, "profile: " + std::string(what) + " " + file.string() + ": " + std::strerror(code)};
}

// Follows symbolic links in the last path component. Unlike realpath() this also resolves a
// dangling link, so writing through it creates the file it names instead of replacing the link.
Result<std::filesystem::path> ResolveTarget(const std::filesystem::path& file) {
  std::filesystem::path current = file;
  for (int hop = 0; hop < kMaxSymlinkHops; ++hop) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::error_code ec;
    std::filesystem::path target = std::filesystem::read_symlink(current, ec);
    if (ec) return SystemError(ec.value(), "cannot read link", current);
    current = target.is_absolute() ? target : current.parent_path() / target;
  }
  return SystemError(ELOOP, "cannot resolve", file);
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Opens and exclusively locks the file currently at `target`. An empty UniqueFd means the file
// does not exist and was not to be created.
Result<UniqueFd> OpenLocked(const std::filesystem::path& target, bool create, struct stat& locked) {
  const int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
  for (int attempt = 0; attempt < kMaxLockAttempts; ++attempt) {
    UniqueFd fd(::open(target.c_str(), flags, 0666));
    if (!fd) {
      if (!create && errno == ENOENT) return UniqueFd();
      return SystemError(errno, "cannot open", target);
    }
    while (::flock(fd.get(), LOCK_EX) != 0) {
      if (errno != EINTR) return SystemError(errno, "cannot lock", target);
    }
    if (::fstat(fd.get(), &locked) != 0) return SystemError(errno, "cannot stat", target);
    if (!S_ISREG(locked.st_mode)) return SystemError(EINVAL, "not a regular file:", target);
    // Another writer may have renamed a new file over the path while we waited for the lock;
    // then we hold a lock on a file nobody will read again and must start over on the new one.
    struct stat current {};
    if (::stat(target.c_str(), &current) != 0) {
      if (errno != ENOENT) return SystemError(errno, "cannot stat", target);
      continue;  // removed meanwhile: start over, which recreates it or finds it missing
    }
    if (SameFile(current, locked)) return fd;
  }
  return SystemError(EAGAIN, "kept being replaced while locking", target);
}

Result<std::string> ReadAll(int fd, const std::filesystem::path& target) {
  std::string content;
  char buffer[64 * 1024];
  off_t offset = 0;
  for (;;) {
    ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return SystemError(errno, "cannot read", target);
    if (n == 0) return content;
    content.append(buffer, static_cast<size_t>(n));
    offset += n;
  }
}

Status WriteAll(int fd, std::string_view data, const std::filesystem::path& name) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return SystemError(errno, "cannot write", name);
    data.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

// Removes the temporary file unless it has been renamed into place.
class TempFileGuard {
 public:
  explicit TempFileGuard(std::string path) : path_(std::move(path)) {}
  TempFileGuard(const TempFileGuard&) = delete;
  TempFileGuard& operator=(const TempFileGuard&) = delete;
  ~TempFileGuard() {
    if (!committed_) ::unlink(path_.c_str());
  }
  void Commit() { committed_ = true; }

 private:
  std::string path_;
  bool committed_ = false;
};

// Writes `content` to a new file next to `target` and renames it over `target`, giving it the
// ownership and permissions recorded in `original`.
Status ReplaceAtomically(const std::filesystem::path& target, const struct stat& original, std::string_view content) {
  std::filesystem::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  std::string stem = target.filename().string().substr(0, kMaxTempStem);
  // A dot name keeps the temporary file out of ordinary directory listings.
  std::string pattern = (dir / ("." + stem + ".XXXXXX")).string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');

  UniqueFd fd(::mkostemp(name.data(), O_CLOEXEC));
  if (!fd) return SystemError(errno, "cannot create temporary file for", target);
  TempFileGuard guard(name.data());

  if (Status written = WriteAll(fd.get(), content, target); !written) return written;
  // Only root can give the file away; everyone else keeps the owner the file had, being it.
  // Best effort: a failure here must not lose the update. Done before fchmod because chown
  // clears set-id bits.
  if (::geteuid() == 0) (void)::fchown(fd.get(), original.st_uid, original.st_gid);
  if (::fchmod(fd.get(), original.st_mode & 07777) != 0) return SystemError(errno, "cannot set mode of", target);
  // The data must be on disk before the rename makes it the file, or a crash could leave an
  // empty file behind the name.
  if (::fsync(fd.get()) != 0) return SystemError(errno, "cannot sync", target);
  if (::close(fd.release()) != 0) return SystemError(errno, "cannot close", target);
  if (::rename(name.data(), target.c_str()) != 0) return SystemError(errno, "cannot replace", target);
  guard.Commit();
  return {};
}

}  // namespace

Status ModifyFile(const std::filesystem::path& file, bool createIfMissing, const Edit& edit) {
  Result<std::filesystem::path> target = ResolveTarget(file);
  VORLANE_RETURN_IF_ERROR(target);

  struct stat locked {};
  Result<UniqueFd> lock = OpenLocked(target.value(), createIfMissing, locked);
  VORLANE_RETURN_IF_ERROR(lock);
  if (!lock.value()) return {};  // missing and not to be created: nothing to change

  Result<std::string> current = ReadAll(lock.value().get(), target.value());
  VORLANE_RETURN_IF_ERROR(current);
  std::optional<std::string> updated = edit(current.value());
  if (!updated) return {};
  // The lock is held until `lock` goes out of scope, after the rename: a writer waiting for it
  // then finds the path pointing at a new file and retries on that one.
  return ReplaceAtomically(target.value(), locked, *updated);
}

}  // namespace vorlane::profile::detail
