#include "platform/termserver/sftp_server.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/debuglog/debuglog.h"
#include "platform/termserver/sftp_codec.h"
#include "platform/termserver/sftp_fs.h"
#include "platform/termserver/sftp_handles.h"

namespace vorlane::termserver {

using namespace sftp;

namespace {

// One READDIR reply carries at most this many names, and stops early once it grows past
// kReaddirBytes, so a reply always stays well below what a client accepts.
constexpr size_t kReaddirNames = 100;
constexpr size_t kReaddirBytes = 32 * 1024;

std::string Status(uint32_t id, uint32_t code, std::string_view message) { return StatusPacket(id, code, message); }

std::string ErrorStatus(uint32_t id, int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return Status(id, kNoSuchFile, "No such file");
    case ELOOP:
      return Status(id, kPermissionDenied, "Symbolic links are not followed");
    case EACCES:
    case EPERM:
      return Status(id, kPermissionDenied, "Permission denied");
    default:
      return Status(id, kFailure, std::system_category().message(error));
  }
}

std::string Denied(uint32_t id) { return Status(id, kPermissionDenied, "Permission denied"); }
std::string BadMessage(uint32_t id) { return Status(id, kBadMessage, "Bad message"); }
std::string BadHandle(uint32_t id) { return Status(id, kFailure, "Invalid handle"); }
std::string Ok(uint32_t id) { return Status(id, kOk, "Success"); }

}  // namespace

struct SftpServer::Impl {
  Impl(Connection& connection, int32_t channel, std::function<void(std::string_view)> send)
      : connection(connection), channel(channel), send(std::move(send)), fs(connection.SftpHome()) {
    if (!fs.valid()) Log("home folder unavailable; every file operation will fail");
  }

  bool Feed(std::string_view bytes);
  bool HandlePacket(const std::string& packet);
  std::string Dispatch(uint8_t type, uint32_t id, PacketReader& in);

  std::string Open(uint32_t id, PacketReader& in);
  std::string Close(uint32_t id, PacketReader& in);
  std::string Read(uint32_t id, PacketReader& in);
  std::string Write(uint32_t id, PacketReader& in);
  std::string StatPath(uint32_t id, PacketReader& in, bool followLinks);
  std::string Fstat(uint32_t id, PacketReader& in);
  std::string Setstat(uint32_t id, PacketReader& in);
  std::string Fsetstat(uint32_t id, PacketReader& in);
  std::string Opendir(uint32_t id, PacketReader& in);
  std::string Readdir(uint32_t id, PacketReader& in);
  std::string PathOperation(uint32_t id, PacketReader& in, SftpOperation operation);
  std::string Rename(uint32_t id, PacketReader& in);
  std::string Realpath(uint32_t id, PacketReader& in);

  bool Allowed(SftpOperation operation, const Target& target, const std::string& path2 = {}) {
    return connection.SftpAllowed(operation, target.clientPath, path2, target.realPath);
  }
  // Resolution failures that meant a refused link are logged: they are what an escape
  // attempt looks like.
  std::string Failed(uint32_t id, int error, const Target& target) {
    if (error == ELOOP) Log("symbolic link refused on the way to " + target.realPath);
    return ErrorStatus(id, error);
  }
  void Log(const std::string& text) { debuglog::Write("sftp channel " + std::to_string(channel) + ": " + text); }

  Connection& connection;
  const int32_t channel;
  std::function<void(std::string_view)> send;
  ConfinedFs fs;
  PacketFramer framer;
  HandleTable handles;
  OwnerNames owners;
  bool initialized = false;
  bool broken = false;
};

bool SftpServer::Impl::Feed(std::string_view bytes) {
  if (broken) return false;
  framer.Append(bytes);
  std::string packet;
  for (;;) {
    switch (framer.Next(packet)) {
      case PacketFramer::Result::kNeedMore:
        return true;
      case PacketFramer::Result::kError:
        Log("packet length out of range; closing");
        broken = true;
        return false;
      case PacketFramer::Result::kPacket:
        if (!HandlePacket(packet)) {
          broken = true;
          return false;
        }
        break;
    }
  }
}

bool SftpServer::Impl::HandlePacket(const std::string& packet) {
  PacketReader in(packet);
  const uint8_t type = in.U8();
  if (type == kInit) {
    in.U32();  // the client's version; we answer 3 whatever it offers
    if (!in.ok()) return false;
    initialized = true;
    send(PacketWriter(kVersion).U32(kProtocolVersion).Finish());
    return true;
  }
  // Requests without INIT first, or without even a request id, cannot be answered.
  const uint32_t id = in.U32();
  if (!initialized || !in.ok()) {
    Log(initialized ? "packet without request id; closing" : "request before INIT; closing");
    return false;
  }
  send(Dispatch(type, id, in));
  return true;
}

std::string SftpServer::Impl::Dispatch(uint8_t type, uint32_t id, PacketReader& in) {
  switch (type) {
    case kOpen: return Open(id, in);
    case kClose: return Close(id, in);
    case kRead: return Read(id, in);
    case kWrite: return Write(id, in);
    case kLstat: return StatPath(id, in, false);
    case kStat: return StatPath(id, in, true);
    case kFstat: return Fstat(id, in);
    case kSetstat: return Setstat(id, in);
    case kFsetstat: return Fsetstat(id, in);
    case kOpendir: return Opendir(id, in);
    case kReaddir: return Readdir(id, in);
    case kRemove: return PathOperation(id, in, SftpOperation::kDeleteFile);
    case kMkdir: return PathOperation(id, in, SftpOperation::kMakeDir);
    case kRmdir: return PathOperation(id, in, SftpOperation::kRemoveDir);
    case kRealpath: return Realpath(id, in);
    case kRename: return Rename(id, in);
    case kSymlink: {
      in.String();
      in.String();
      if (!in.ok()) return BadMessage(id);
      // A link made by the client could later be followed by other software on this host.
      return Status(id, kPermissionDenied, "Symbolic links cannot be created");
    }
    default:  // READLINK, extensions and anything unknown
      return Status(id, kOpUnsupported, "Operation unsupported");
  }
}

std::string SftpServer::Impl::Open(uint32_t id, PacketReader& in) {
  const std::string path = in.String();
  const uint32_t pflags = in.U32();
  const Attrs attrs = in.ReadAttrs();
  if (!in.ok()) return BadMessage(id);
  if (handles.size() >= kMaxOpenHandles) return Status(id, kFailure, "Too many open handles");
  // Anything that creates or changes the file is an upload; reading is a download (both when
  // the client asks for read and write).
  const bool writing = pflags & (kOpenWrite | kOpenAppend | kOpenCreate | kOpenTruncate);
  const bool reading = (pflags & kOpenRead) || !writing;
  int flags = reading && writing ? O_RDWR : writing ? O_WRONLY : O_RDONLY;
  if (pflags & kOpenCreate) flags |= O_CREAT;
  if ((pflags & kOpenCreate) && (pflags & kOpenExclusive)) flags |= O_EXCL;
  if (pflags & kOpenTruncate) flags |= O_TRUNC;
  if (pflags & kOpenAppend) flags |= O_APPEND;
  Target target;
  if (int error = fs.Resolve(path, target)) return Failed(id, error, target);
  if (writing && !Allowed(SftpOperation::kUploadFile, target)) return Denied(id);
  if (reading && !Allowed(SftpOperation::kDownloadFile, target)) return Denied(id);
  const mode_t mode = (attrs.flags & kAttrPermissions) ? attrs.permissions : 0666;
  OpenHandle handle;
  if (int error = fs.OpenFile(target, flags, mode, handle.file)) return Failed(id, error, target);
  handle.writable = writing;
  handle.realPath = target.realPath;
  const auto name = handles.Add(std::move(handle));
  return PacketWriter(kHandle).U32(id).String(*name).Finish();
}

std::string SftpServer::Impl::Close(uint32_t id, PacketReader& in) {
  const std::string name = in.String();
  if (!in.ok()) return BadMessage(id);
  auto handle = handles.Take(name);
  if (!handle) return BadHandle(id);
  // A failing close of a written file can mean lost data, so it is reported.
  if (handle->file && ::close(handle->file.release()) != 0) return ErrorStatus(id, errno);
  return Ok(id);
}

std::string SftpServer::Impl::Read(uint32_t id, PacketReader& in) {
  const std::string name = in.String();
  const uint64_t offset = in.U64();
  const uint32_t length = in.U32();
  if (!in.ok()) return BadMessage(id);
  OpenHandle* handle = handles.Find(name);
  if (!handle || !handle->file) return BadHandle(id);
  if (offset > static_cast<uint64_t>(INT64_MAX)) return Status(id, kEof, "End of file");
  std::string data(std::min<size_t>(length, kMaxReadBytes), '\0');
  ssize_t count;
  do {
    count = ::pread(handle->file.get(), data.data(), data.size(), static_cast<off_t>(offset));
  } while (count < 0 && errno == EINTR);
  if (count < 0) return ErrorStatus(id, errno);
  if (count == 0 && !data.empty()) return Status(id, kEof, "End of file");
  data.resize(static_cast<size_t>(count));
  return PacketWriter(kData).U32(id).String(data).Finish();
}

std::string SftpServer::Impl::Write(uint32_t id, PacketReader& in) {
  const std::string name = in.String();
  const uint64_t offset = in.U64();
  const std::string data = in.String();
  if (!in.ok()) return BadMessage(id);
  OpenHandle* handle = handles.Find(name);
  if (!handle || !handle->file) return BadHandle(id);
  if (!handle->writable) return Denied(id);
  if (offset > static_cast<uint64_t>(INT64_MAX) - data.size()) return ErrorStatus(id, EFBIG);
  size_t done = 0;
  while (done < data.size()) {  // every pass writes at least one byte or returns
    const ssize_t count = ::pwrite(handle->file.get(), data.data() + done, data.size() - done,
                                   static_cast<off_t>(offset + done));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return ErrorStatus(id, count < 0 ? errno : EIO);
    done += static_cast<size_t>(count);
  }
  return Ok(id);
}

std::string SftpServer::Impl::StatPath(uint32_t id, PacketReader& in, bool followLinks) {
  const std::string path = in.String();
  if (!in.ok()) return BadMessage(id);
  Target target;
  struct stat st;
  if (int error = fs.Resolve(path, target)) return Failed(id, error, target);
  // "Following" a link would mean leaving the confinement, so STAT refuses one instead.
  if (int error = followLinks ? fs.Stat(target, st) : fs.Lstat(target, st)) return Failed(id, error, target);
  return PacketWriter(kAttrs).U32(id).WriteAttrs(AttrsFromStat(st)).Finish();
}

std::string SftpServer::Impl::Fstat(uint32_t id, PacketReader& in) {
  const std::string name = in.String();
  if (!in.ok()) return BadMessage(id);
  OpenHandle* handle = handles.Find(name);
  if (!handle) return BadHandle(id);
  struct stat st;
  const int fd = handle->file ? handle->file.get() : ::dirfd(handle->dir.get());
  if (::fstat(fd, &st) != 0) return ErrorStatus(id, errno);
  return PacketWriter(kAttrs).U32(id).WriteAttrs(AttrsFromStat(st)).Finish();
}

std::string SftpServer::Impl::Setstat(uint32_t id, PacketReader& in) {
  const std::string path = in.String();
  const Attrs attrs = in.ReadAttrs();
  if (!in.ok()) return BadMessage(id);
  Target target;
  if (int error = fs.Resolve(path, target)) return Failed(id, error, target);
  // Changing a file's size, permissions or times changes the file: the same decision as an
  // upload.
  if (!Allowed(SftpOperation::kUploadFile, target)) return Denied(id);
  if (int error = fs.SetAttrs(target, attrs)) return Failed(id, error, target);
  return Ok(id);
}

std::string SftpServer::Impl::Fsetstat(uint32_t id, PacketReader& in) {
  const std::string name = in.String();
  const Attrs attrs = in.ReadAttrs();
  if (!in.ok()) return BadMessage(id);
  OpenHandle* handle = handles.Find(name);
  if (!handle) return BadHandle(id);
  // Only a file opened for writing was allowed as an upload; others stay unchanged.
  if (!handle->file || !handle->writable) return Denied(id);
  if (int error = SetAttrsOnFile(handle->file.get(), attrs)) return ErrorStatus(id, error);
  return Ok(id);
}

std::string SftpServer::Impl::Opendir(uint32_t id, PacketReader& in) {
  const std::string path = in.String();
  if (!in.ok()) return BadMessage(id);
  if (handles.size() >= kMaxOpenHandles) return Status(id, kFailure, "Too many open handles");
  Target target;
  if (int error = fs.Resolve(path, target)) return Failed(id, error, target);
  if (!Allowed(SftpOperation::kListDir, target)) return Denied(id);
  OpenHandle handle;
  if (int error = fs.OpenDir(target, handle.dir)) return Failed(id, error, target);
  handle.realPath = target.realPath;
  const auto name = handles.Add(std::move(handle));
  return PacketWriter(kHandle).U32(id).String(*name).Finish();
}

std::string SftpServer::Impl::Readdir(uint32_t id, PacketReader& in) {
  const std::string name = in.String();
  if (!in.ok()) return BadMessage(id);
  OpenHandle* handle = handles.Find(name);
  if (!handle || !handle->dir) return BadHandle(id);
  struct Entry {
    std::string name, longName;
    Attrs attrs;
  };
  std::vector<Entry> entries;
  size_t bytes = 0;
  DIR* dir = handle->dir.get();
  while (entries.size() < kReaddirNames && bytes < kReaddirBytes) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (!entry) {
      if (errno != 0) return ErrorStatus(id, errno);
      break;
    }
    const std::string_view entryName = entry->d_name;
    // "." and ".." are left out: at the top ".." would describe the folder above the home.
    if (entryName == "." || entryName == "..") continue;
    struct stat st;
    if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
    Entry& added = entries.emplace_back();
    added.name = entryName;
    added.longName = LongName(entryName, st, owners.User(st.st_uid), owners.Group(st.st_gid));
    added.attrs = AttrsFromStat(st);
    bytes += added.name.size() + added.longName.size() + 64;
  }
  if (entries.empty()) return Status(id, kEof, "End of directory");
  PacketWriter out(kName);
  out.U32(id).U32(static_cast<uint32_t>(entries.size()));
  for (const Entry& entry : entries) out.String(entry.name).String(entry.longName).WriteAttrs(entry.attrs);
  return out.Finish();
}

std::string SftpServer::Impl::PathOperation(uint32_t id, PacketReader& in, SftpOperation operation) {
  const std::string path = in.String();
  Attrs attrs;
  if (operation == SftpOperation::kMakeDir) attrs = in.ReadAttrs();
  if (!in.ok()) return BadMessage(id);
  Target target;
  if (int error = fs.Resolve(path, target)) return Failed(id, error, target);
  if (!Allowed(operation, target)) return Denied(id);
  int error = 0;
  if (operation == SftpOperation::kMakeDir) {
    error = fs.MakeDir(target, (attrs.flags & kAttrPermissions) ? attrs.permissions : 0777);
  } else if (operation == SftpOperation::kRemoveDir) {
    error = fs.RemoveDir(target);
  } else {
    error = fs.RemoveFile(target);
  }
  return error ? Failed(id, error, target) : Ok(id);
}

std::string SftpServer::Impl::Rename(uint32_t id, PacketReader& in) {
  const std::string from = in.String();
  const std::string to = in.String();
  if (!in.ok()) return BadMessage(id);
  Target source, destination;
  if (int error = fs.Resolve(from, source)) return Failed(id, error, source);
  if (int error = fs.Resolve(to, destination)) return Failed(id, error, destination);
  if (!Allowed(SftpOperation::kRename, source, destination.clientPath)) return Denied(id);
  if (int error = fs.Rename(source, destination)) return Failed(id, error, source);
  return Ok(id);
}

std::string SftpServer::Impl::Realpath(uint32_t id, PacketReader& in) {
  const std::string path = in.String();
  if (!in.ok()) return BadMessage(id);
  // Lexical only: the answer names where the client would be, whether or not it exists.
  const std::string canonical = JoinClientPath(NormalizePath(path));
  return PacketWriter(kName).U32(id).U32(1).String(canonical).String(canonical).WriteAttrs(Attrs{}).Finish();
}

SftpServer::SftpServer(Connection& connection, int32_t channel, std::function<void(std::string_view)> send)
    : impl_(std::make_unique<Impl>(connection, channel, std::move(send))) {}

SftpServer::~SftpServer() = default;

bool SftpServer::Feed(std::string_view bytes) { return impl_->Feed(bytes); }

}  // namespace vorlane::termserver
