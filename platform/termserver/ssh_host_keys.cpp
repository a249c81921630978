#include "platform/termserver/ssh_host_keys.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/base/unique_fd.h"
#include "platform/debuglog/debuglog.h"
#include "platform/termserver/ssh_session.h"

namespace vorlane::termserver {
namespace {

namespace fs = std::filesystem;

Error SystemError(int code, const std::string& what, const fs::path& file) {
  return Error{code, what + " " + file.string() + ": " + ::strerror(code)};
}

// Writes the whole buffer, going on after short writes and interruptions.
bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// A new key goes to a private temporary file next to its final name, which it then replaces in
// one rename: a crash never leaves a half-written key, and the key is never readable by others,
// not even for a moment.
Status CreateHostKey(const fs::path& file, enum ssh_keytypes_e type, int bits) {
  ssh_key raw = nullptr;
  if (ssh_pki_generate(type, bits, &raw) != SSH_OK || raw == nullptr) {
    return Error{0, "cannot generate SSH host key " + file.string()};
  }
  SshKeyPtr key(raw);
  char* rawText = nullptr;
  if (ssh_pki_export_privkey_base64(key.get(), nullptr, nullptr, nullptr, &rawText) != SSH_OK ||
      rawText == nullptr) {
    return Error{0, "cannot export SSH host key " + file.string()};
  }
  SshCharPtr text(rawText);
  const size_t length = ::strlen(text.get());

  std::string temporary = (file.parent_path() / ("." + file.filename().string() + ".XXXXXX")).string();
  UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));  // creates with O_EXCL and mode 0600
  if (!fd) return SystemError(errno, "cannot create", temporary);
  bool written = ::fchmod(fd.get(), 0600) == 0 && WriteAll(fd.get(), text.get(), length) &&
                 ::fsync(fd.get()) == 0;
  int code = errno;
  ::explicit_bzero(text.get(), length);
  if (!written || ::close(fd.release()) != 0) {
    if (written) code = errno;
    ::unlink(temporary.c_str());
    return SystemError(code, "cannot write", temporary);
  }
  if (::rename(temporary.c_str(), file.c_str()) != 0) {
    code = errno;
    ::unlink(temporary.c_str());
    return SystemError(code, "cannot rename to", file);
  }
  debuglog::Write("termserver: created SSH host key " + file.string());
  return {};
}

Result<SshKeyPtr> ReadHostKey(int fd, const fs::path& file, enum ssh_keytypes_e type) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return SystemError(errno, "cannot inspect", file);
  if (!S_ISREG(info.st_mode)) return Error{EINVAL, "SSH host key " + file.string() + " is no regular file"};
  if ((info.st_mode & 077) != 0) {
    if (::fchmod(fd, 0600) != 0) return SystemError(errno, "cannot make private", file);
    debuglog::Write("termserver: SSH host key " + file.string() + " was readable by others; made private");
  }
  constexpr off_t kMaxKeyFile = 64 * 1024;
  if (info.st_size <= 0 || info.st_size > kMaxKeyFile) {
    return Error{EINVAL, "SSH host key " + file.string() + " has an implausible size"};
  }
  std::string text(static_cast<size_t>(info.st_size), '\0');
  size_t done = 0;
  while (done < text.size()) {
    ssize_t got = ::read(fd, text.data() + done, text.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return SystemError(errno, "cannot read", file);
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  text.resize(done);
  ssh_key raw = nullptr;
  int rc = ssh_pki_import_privkey_base64(text.c_str(), nullptr, nullptr, nullptr, &raw);
  ::explicit_bzero(text.data(), text.size());
  SshKeyPtr key(raw);
  if (rc != SSH_OK || !key) return Error{EINVAL, "cannot parse SSH host key " + file.string()};
  if (ssh_key_type(key.get()) != type) {
    return Error{EINVAL, "SSH host key " + file.string() + " is of the wrong type"};
  }
  return key;
}

Status PrepareHostKey(const fs::path& file, enum ssh_keytypes_e type, int bits) {
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) {
    if (errno != ENOENT) return SystemError(errno, "cannot open", file);
    return CreateHostKey(file, type, bits);
  }
  auto key = ReadHostKey(fd.get(), file, type);
  VORLANE_RETURN_IF_ERROR(key);
  return {};
}

}  // namespace

Result<SshKeyPtr> LoadHostKey(const fs::path& file, enum ssh_keytypes_e type) {
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return SystemError(errno, "cannot open", file);
  return ReadHostKey(fd.get(), file, type);
}

Result<HostKeyFiles> PrepareHostKeys(const fs::path& folder) {
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) return Error{error.value(), "cannot create " + folder.string() + ": " + error.message()};
  HostKeyFiles files{folder / "ssh_host_ed25519_key", folder / "ssh_host_rsa_key"};
  VORLANE_RETURN_IF_ERROR(PrepareHostKey(files.ed25519, SSH_KEYTYPE_ED25519, 0));
  VORLANE_RETURN_IF_ERROR(PrepareHostKey(files.rsa, SSH_KEYTYPE_RSA, 3072));
  return files;
}

}  // namespace vorlane::termserver
