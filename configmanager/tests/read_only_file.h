// Makes a file unwritable for the test's own process, root included: root ignores the mode bits,
// so the file is also marked immutable, which stops any writer and any rename over it. Undone
// when the object goes.
#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace vorlane::ostmere::fixture {

class ReadOnlyFile {
 public:
  explicit ReadOnlyFile(std::filesystem::path file) : file_(std::move(file)) {
    ::chmod(file_.c_str(), 0444);
    active_ = ::geteuid() != 0 || SetImmutable(true);
  }
  ~ReadOnlyFile() {
    if (::geteuid() == 0) SetImmutable(false);
    ::chmod(file_.c_str(), 0600);
  }
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  // False when the file system cannot mark files immutable and the test runs as root: the file
  // is then writable after all.
  bool Active() const { return active_; }

 private:
  bool SetImmutable(bool on) {
    const int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
      flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
      done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return done;
  }

  std::filesystem::path file_;
  bool active_ = false;
};

}  // namespace vorlane::ostmere::fixture
