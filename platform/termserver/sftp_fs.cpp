#include "platform/termserver/sftp_fs.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace vorlane::termserver::sftp {

namespace {

// Client-chosen permissions never carry set-user-id, set-group-id or sticky bits: the server
// may run as root, and a client must not be able to plant a privileged program.
constexpr mode_t kPermissionMask = 0777;

// An openat with O_NOFOLLOW reports a link as ELOOP, or as ENOTDIR when O_DIRECTORY is given;
// both cases become ELOOP so the caller can tell a refused link from a missing folder.
int LinkAware(int dir, const std::string& name, int error) {
  if (error == ENOTDIR || error == ELOOP) {
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) return ELOOP;
  }
  return error;
}

int Errno(int result) { return result == 0 ? 0 : errno; }

}  // namespace

std::vector<std::string> NormalizePath(std::string_view clientPath) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= clientPath.size()) {
    size_t end = clientPath.find('/', start);
    if (end == std::string_view::npos) end = clientPath.size();
    const std::string_view part = clientPath.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.emplace_back(part);
    }
    start = end + 1;
  }
  return parts;
}

std::string JoinClientPath(const std::vector<std::string>& parts) {
  if (parts.empty()) return "/";
  std::string path;
  for (const auto& part : parts) path += "/" + part;
  return path;
}

ConfinedFs::ConfinedFs(const std::string& home) {
  if (home.empty()) return;
  // The canonical form only names the home in events and logs; access always goes through the
  // descriptor opened here.
  char canonical[PATH_MAX];
  if (!::realpath(home.c_str(), canonical)) return;
  homePath_ = canonical;
  home_.reset(::open(canonical, O_PATH | O_DIRECTORY | O_CLOEXEC));
}

int ConfinedFs::Resolve(std::string_view clientPath, Target& target) const {
  if (!home_) return ENOENT;
  // A NUL would cut the name short at the system call, so that a different file is used than
  // the one the application was asked about.
  if (clientPath.find('\0') != std::string_view::npos) return EINVAL;
  std::vector<std::string> parts = NormalizePath(clientPath);
  target.clientPath = JoinClientPath(parts);
  target.realPath = homePath_ == "/" ? target.clientPath
                                      : (parts.empty() ? homePath_ : homePath_ + target.clientPath);
  UniqueFd dir(::openat(home_.get(), ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return errno;
  if (parts.empty()) {
    target.parent = std::move(dir);
    target.name = ".";
    return 0;
  }
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    UniqueFd next(::openat(dir.get(), parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next) return LinkAware(dir.get(), parts[i], errno);
    dir = std::move(next);
  }
  target.parent = std::move(dir);
  target.name = std::move(parts.back());
  return 0;
}

int ConfinedFs::Lstat(const Target& target, struct stat& st) const {
  return Errno(::fstatat(target.parent.get(), target.name.c_str(), &st, AT_SYMLINK_NOFOLLOW));
}

int ConfinedFs::Stat(const Target& target, struct stat& st) const {
  if (int error = Lstat(target, st)) return error;
  return S_ISLNK(st.st_mode) ? ELOOP : 0;
}

int ConfinedFs::OpenFile(const Target& target, int flags, mode_t mode, UniqueFd& file) const {
  if (target.IsHome()) return EISDIR;
  // O_NONBLOCK so that a FIFO inside the home cannot stall the session before it is turned
  // down below; O_NOCTTY so that a terminal device never becomes ours.
  UniqueFd fd(::openat(target.parent.get(), target.name.c_str(),
                       flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode & kPermissionMask));
  if (!fd) return LinkAware(target.parent.get(), target.name, errno);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return errno;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  if (!S_ISREG(st.st_mode)) return EACCES;
  const int status = ::fcntl(fd.get(), F_GETFL);
  if (status < 0 || ::fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) != 0) return errno;
  file = std::move(fd);
  return 0;
}

int ConfinedFs::OpenDir(const Target& target, DirPtr& dir) const {
  UniqueFd fd(::openat(target.parent.get(), target.name.c_str(),
                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return LinkAware(target.parent.get(), target.name, errno);
  DIR* stream = ::fdopendir(fd.get());
  if (!stream) return errno;
  fd.release();  // the stream owns it now
  dir.reset(stream);
  return 0;
}

int ConfinedFs::MakeDir(const Target& target, mode_t mode) const {
  if (target.IsHome()) return EEXIST;
  return Errno(::mkdirat(target.parent.get(), target.name.c_str(), mode & kPermissionMask));
}

int ConfinedFs::RemoveDir(const Target& target) const {
  if (target.IsHome()) return EACCES;
  return Errno(::unlinkat(target.parent.get(), target.name.c_str(), AT_REMOVEDIR));
}

int ConfinedFs::RemoveFile(const Target& target) const {
  if (target.IsHome()) return EACCES;
  // Removing a link removes only the link, which never reaches outside.
  return Errno(::unlinkat(target.parent.get(), target.name.c_str(), 0));
}

int ConfinedFs::Rename(const Target& from, const Target& to) const {
  if (from.IsHome() || to.IsHome()) return EACCES;
  const int parentFrom = from.parent.get();
  const int parentTo = to.parent.get();
  if (::renameat2(parentFrom, from.name.c_str(), parentTo, to.name.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // Filesystems without RENAME_NOREPLACE: check, then rename (a race with other local writers
  // at worst replaces a file inside the home).
  struct stat st;
  if (::fstatat(parentTo, to.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
  return Errno(::renameat(parentFrom, from.name.c_str(), parentTo, to.name.c_str()));
}

int ConfinedFs::SetAttrs(const Target& target, const Attrs& attrs) const {
  struct stat st;
  if (int error = Stat(target, st)) return error;
  const int parent = target.parent.get();
  const char* name = target.name.c_str();
  if (attrs.flags & kAttrSize) {
    UniqueFd file;
    if (int error = OpenFile(target, O_WRONLY, 0, file)) return error;
    if (::ftruncate(file.get(), static_cast<off_t>(attrs.size)) != 0) return errno;
  }
  if (attrs.flags & kAttrPermissions) {
    // AT_SYMLINK_NOFOLLOW: a link swapped in meanwhile is refused, not followed.
    if (::fchmodat(parent, name, attrs.permissions & kPermissionMask, AT_SYMLINK_NOFOLLOW) != 0) {
      return errno == EOPNOTSUPP ? ELOOP : errno;
    }
  }
  if (attrs.flags & kAttrTimes) {
    const struct timespec times[2] = {{static_cast<time_t>(attrs.atime), 0}, {static_cast<time_t>(attrs.mtime), 0}};
    if (::utimensat(parent, name, times, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  }
  return 0;
}

int SetAttrsOnFile(int fd, const Attrs& attrs) {
  if ((attrs.flags & kAttrSize) && ::ftruncate(fd, static_cast<off_t>(attrs.size)) != 0) return errno;
  if ((attrs.flags & kAttrPermissions) && ::fchmod(fd, attrs.permissions & kPermissionMask) != 0) return errno;
  if (attrs.flags & kAttrTimes) {
    const struct timespec times[2] = {{static_cast<time_t>(attrs.atime), 0}, {static_cast<time_t>(attrs.mtime), 0}};
    if (::futimens(fd, times) != 0) return errno;
  }
  return 0;
}

const std::string& OwnerNames::User(uid_t uid) {
  auto [it, added] = users_.try_emplace(uid);
  if (added) {
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found) {
      it->second = found->pw_name;
    } else {
      it->second = std::to_string(uid);
    }
  }
  return it->second;
}

const std::string& OwnerNames::Group(gid_t gid) {
  auto [it, added] = groups_.try_emplace(gid);
  if (added) {
    struct group entry;
    struct group* found = nullptr;
    char buffer[4096];
    if (::getgrgid_r(gid, &entry, buffer, sizeof buffer, &found) == 0 && found) {
      it->second = found->gr_name;
    } else {
      it->second = std::to_string(gid);
    }
  }
  return it->second;
}

}  // namespace vorlane::termserver::sftp
