// The filesystem as an SFTP client may see it: one folder (the home) that the client knows as
// "/". Paths are normalised lexically and then walked one component at a time from a descriptor
// of the home, never following a symbolic link, so neither "..", an absolute path, nor a link
// (placed by anyone) leads outside. No string comparison against the home path is involved.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/base/unique_fd.h"
#include "platform/termserver/sftp_codec.h"

namespace vorlane::termserver::sftp {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// The components of a client path with "." and empty parts dropped and ".." applied, never
// above the root: "../../etc/passwd" and "/etc/passwd" both become {"etc", "passwd"}.
std::vector<std::string> NormalizePath(std::string_view clientPath);
// "/" for no components, else "/a/b".
std::string JoinClientPath(const std::vector<std::string>& parts);

// A client path resolved down to the folder that holds its last component.
struct Target {
  UniqueFd parent;         // O_PATH descriptor of the folder holding `name`
  std::string name;        // the last component; "." when the path is the home itself
  std::string clientPath;  // normalised, as the client sees it
  std::string realPath;    // where it lies on this host (for the application and logs)
  bool IsHome() const { return name == "."; }
};

// Every operation returns 0 or an errno value. ELOOP always means "a symbolic link was met and
// refused"; EACCES is also used for operations on the home itself (removing or renaming it).
class ConfinedFs {
 public:
  explicit ConfinedFs(const std::string& home);

  bool valid() const { return home_.valid(); }
  const std::string& home() const { return homePath_; }

  // Walks every folder on the way; the last component need not exist.
  int Resolve(std::string_view clientPath, Target& target) const;

  // The entry itself, a link included (LSTAT).
  int Lstat(const Target& target, struct stat& st) const;
  // Like Lstat, but a link is refused rather than followed.
  int Stat(const Target& target, struct stat& st) const;
  // A regular file only; `flags` are the access mode and O_CREAT, O_EXCL, O_TRUNC, O_APPEND.
  int OpenFile(const Target& target, int flags, mode_t mode, UniqueFd& file) const;
  int OpenDir(const Target& target, DirPtr& dir) const;
  int MakeDir(const Target& target, mode_t mode) const;
  int RemoveDir(const Target& target) const;
  int RemoveFile(const Target& target) const;
  // Fails with EEXIST when `to` exists, as version 3 asks.
  int Rename(const Target& from, const Target& to) const;
  // Size, permissions and times; owner changes are ignored.
  int SetAttrs(const Target& target, const Attrs& attrs) const;

 private:
  UniqueFd home_;
  std::string homePath_;
};

// Size, permissions and times on an open file.
int SetAttrsOnFile(int fd, const Attrs& attrs);

// Owner and group names for long listings, looked up once per id.
class OwnerNames {
 public:
  const std::string& User(uid_t uid);
  const std::string& Group(gid_t gid);

 private:
  std::unordered_map<uid_t, std::string> users_;
  std::unordered_map<gid_t, std::string> groups_;
};

}  // namespace vorlane::termserver::sftp
