// The SFTP version 3 wire format: packet framing from a byte stream, reading request fields,
// writing replies, and file attributes.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorlane::termserver::sftp {

// Packet types.
inline constexpr uint8_t kInit = 1;
inline constexpr uint8_t kVersion = 2;
inline constexpr uint8_t kOpen = 3;
inline constexpr uint8_t kClose = 4;
inline constexpr uint8_t kRead = 5;
inline constexpr uint8_t kWrite = 6;
inline constexpr uint8_t kLstat = 7;
inline constexpr uint8_t kFstat = 8;
inline constexpr uint8_t kSetstat = 9;
inline constexpr uint8_t kFsetstat = 10;
inline constexpr uint8_t kOpendir = 11;
inline constexpr uint8_t kReaddir = 12;
inline constexpr uint8_t kRemove = 13;
inline constexpr uint8_t kMkdir = 14;
inline constexpr uint8_t kRmdir = 15;
inline constexpr uint8_t kRealpath = 16;
inline constexpr uint8_t kStat = 17;
inline constexpr uint8_t kRename = 18;
inline constexpr uint8_t kReadlink = 19;
inline constexpr uint8_t kSymlink = 20;
inline constexpr uint8_t kStatus = 101;
inline constexpr uint8_t kHandle = 102;
inline constexpr uint8_t kData = 103;
inline constexpr uint8_t kName = 104;
inline constexpr uint8_t kAttrs = 105;

// Status codes.
inline constexpr uint32_t kOk = 0;
inline constexpr uint32_t kEof = 1;
inline constexpr uint32_t kNoSuchFile = 2;
inline constexpr uint32_t kPermissionDenied = 3;
inline constexpr uint32_t kFailure = 4;
inline constexpr uint32_t kBadMessage = 5;
inline constexpr uint32_t kOpUnsupported = 8;

// OPEN flags.
inline constexpr uint32_t kOpenRead = 0x01;
inline constexpr uint32_t kOpenWrite = 0x02;
inline constexpr uint32_t kOpenAppend = 0x04;
inline constexpr uint32_t kOpenCreate = 0x08;
inline constexpr uint32_t kOpenTruncate = 0x10;
inline constexpr uint32_t kOpenExclusive = 0x20;

// Attribute flags.
inline constexpr uint32_t kAttrSize = 0x01;
inline constexpr uint32_t kAttrUidGid = 0x02;
inline constexpr uint32_t kAttrPermissions = 0x04;
inline constexpr uint32_t kAttrTimes = 0x08;
inline constexpr uint32_t kAttrExtended = 0x80000000u;

inline constexpr uint32_t kProtocolVersion = 3;
// The largest packet body (type byte onward) accepted: a 256 KiB write plus its header fields.
inline constexpr size_t kMaxPacketBytes = 256 * 1024 + 1024;
// The most file data one DATA reply carries.
inline constexpr size_t kMaxReadBytes = 64 * 1024;

struct Attrs {
  uint32_t flags = 0;
  uint64_t size = 0;
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint32_t permissions = 0;
  uint32_t atime = 0;
  uint32_t mtime = 0;
};

Attrs AttrsFromStat(const struct stat& st);

// "ls -l"-style line for READDIR; owner and group are names or numbers as text.
std::string LongName(std::string_view name, const struct stat& st, std::string_view owner,
                     std::string_view group);

// Cuts packets (the body after the length field) out of a byte stream.
class PacketFramer {
 public:
  enum class Result { kNeedMore, kPacket, kError };

  void Append(std::string_view bytes);
  // The next complete packet into `packet`; kError for a length of zero or above the limit.
  Result Next(std::string& packet);

 private:
  std::string buffer_;
  size_t consumed_ = 0;  // bytes at the front of buffer_ already handed out
};

// Reads the fields of one packet; once a field runs past the end every later read fails too,
// so a caller checks ok() once after reading all fields.
class PacketReader {
 public:
  explicit PacketReader(std::string_view packet) : data_(packet) {}

  uint8_t U8();
  uint32_t U32();
  uint64_t U64();
  std::string String();
  Attrs ReadAttrs();
  bool ok() const { return ok_; }

 private:
  bool Need(size_t count);

  std::string_view data_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// Builds one reply packet, length field included.
class PacketWriter {
 public:
  explicit PacketWriter(uint8_t type);

  PacketWriter& U8(uint8_t value);
  PacketWriter& U32(uint32_t value);
  PacketWriter& U64(uint64_t value);
  PacketWriter& String(std::string_view value);
  PacketWriter& WriteAttrs(const Attrs& attrs);
  size_t size() const { return buffer_.size(); }
  // The finished packet; the writer is spent afterwards.
  std::string Finish();

 private:
  std::string buffer_;
};

std::string StatusPacket(uint32_t id, uint32_t code, std::string_view message);

}  // namespace vorlane::termserver::sftp
