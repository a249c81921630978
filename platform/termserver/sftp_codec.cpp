#include "platform/termserver/sftp_codec.h"

#include <time.h>

#include <cstdio>

namespace vorlane::termserver::sftp {

namespace {

char TypeChar(mode_t mode) {
  if (S_ISDIR(mode)) return 'd';
  if (S_ISLNK(mode)) return 'l';
  if (S_ISCHR(mode)) return 'c';
  if (S_ISBLK(mode)) return 'b';
  if (S_ISFIFO(mode)) return 'p';
  if (S_ISSOCK(mode)) return 's';
  return '-';
}

std::string ModeText(mode_t mode) {
  std::string text(10, '-');
  text[0] = TypeChar(mode);
  const char* rwx = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit) {
    if (mode & (0400 >> bit)) text[1 + bit] = rwx[bit];
  }
  if (mode & S_ISUID) text[3] = (mode & S_IXUSR) ? 's' : 'S';
  if (mode & S_ISGID) text[6] = (mode & S_IXGRP) ? 's' : 'S';
  if (mode & S_ISVTX) text[9] = (mode & S_IXOTH) ? 't' : 'T';
  return text;
}

}  // namespace

Attrs AttrsFromStat(const struct stat& st) {
  Attrs attrs;
  attrs.flags = kAttrSize | kAttrUidGid | kAttrPermissions | kAttrTimes;
  attrs.size = static_cast<uint64_t>(st.st_size);
  attrs.uid = st.st_uid;
  attrs.gid = st.st_gid;
  attrs.permissions = st.st_mode;
  // The protocol carries 32-bit times; later times wrap as every version 3 server does.
  attrs.atime = static_cast<uint32_t>(st.st_atim.tv_sec);
  attrs.mtime = static_cast<uint32_t>(st.st_mtim.tv_sec);
  return attrs;
}

std::string LongName(std::string_view name, const struct stat& st, std::string_view owner,
                     std::string_view group) {
  // Like ls: the time of day for files changed within about half a year, else the year.
  char when[32] = "";
  struct tm local {};
  const time_t mtime = st.st_mtim.tv_sec;
  if (localtime_r(&mtime, &local)) {
    const time_t now = ::time(nullptr);
    const bool recent = mtime <= now + 3600 && now - mtime < 182 * 24 * 3600;
    strftime(when, sizeof when, recent ? "%b %e %H:%M" : "%b %e  %Y", &local);
  }
  char head[160];
  std::snprintf(head, sizeof head, "%s %4lu %-8.*s %-8.*s %8lld %s ", ModeText(st.st_mode).c_str(),
                static_cast<unsigned long>(st.st_nlink), static_cast<int>(owner.size()), owner.data(),
                static_cast<int>(group.size()), group.data(), static_cast<long long>(st.st_size), when);
  return std::string(head) + std::string(name);
}

void PacketFramer::Append(std::string_view bytes) {
  // Drop what was handed out before growing, so the buffer holds at most one partial packet
  // plus the new bytes.
  if (consumed_ > 0) {
    buffer_.erase(0, consumed_);
    consumed_ = 0;
  }
  buffer_.append(bytes);
}

PacketFramer::Result PacketFramer::Next(std::string& packet) {
  const size_t available = buffer_.size() - consumed_;
  if (available < 4) return Result::kNeedMore;
  const auto* p = reinterpret_cast<const unsigned char*>(buffer_.data() + consumed_);
  const uint32_t length = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
  // Checked before waiting for the body, so a huge length never makes us buffer anything.
  if (length == 0 || length > kMaxPacketBytes) return Result::kError;
  if (available - 4 < length) return Result::kNeedMore;
  packet.assign(buffer_, consumed_ + 4, length);
  consumed_ += 4 + length;
  return Result::kPacket;
}

bool PacketReader::Need(size_t count) {
  if (!ok_ || data_.size() - pos_ < count) ok_ = false;
  return ok_;
}

uint8_t PacketReader::U8() {
  if (!Need(1)) return 0;
  return static_cast<uint8_t>(data_[pos_++]);
}

uint32_t PacketReader::U32() {
  if (!Need(4)) return 0;
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = (value << 8) | static_cast<uint8_t>(data_[pos_++]);
  return value;
}

uint64_t PacketReader::U64() {
  const uint64_t high = U32();
  const uint64_t low = U32();
  return (high << 32) | low;
}

std::string PacketReader::String() {
  const uint32_t length = U32();
  if (!Need(length)) return {};
  std::string value(data_.substr(pos_, length));
  pos_ += length;
  return value;
}

Attrs PacketReader::ReadAttrs() {
  Attrs attrs;
  attrs.flags = U32();
  if (attrs.flags & kAttrSize) attrs.size = U64();
  if (attrs.flags & kAttrUidGid) {
    attrs.uid = U32();
    attrs.gid = U32();
  }
  if (attrs.flags & kAttrPermissions) attrs.permissions = U32();
  if (attrs.flags & kAttrTimes) {
    attrs.atime = U32();
    attrs.mtime = U32();
  }
  if (attrs.flags & kAttrExtended) {
    // Extended pairs are read past and ignored; the count is bounded by the packet size since
    // every pair needs at least eight bytes.
    const uint32_t count = U32();
    for (uint32_t i = 0; i < count && ok_; ++i) {
      String();
      String();
    }
  }
  return attrs;
}

PacketWriter::PacketWriter(uint8_t type) : buffer_(4, '\0') { U8(type); }

PacketWriter& PacketWriter::U8(uint8_t value) {
  buffer_.push_back(static_cast<char>(value));
  return *this;
}

PacketWriter& PacketWriter::U32(uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) buffer_.push_back(static_cast<char>((value >> shift) & 0xff));
  return *this;
}

PacketWriter& PacketWriter::U64(uint64_t value) {
  U32(static_cast<uint32_t>(value >> 32));
  return U32(static_cast<uint32_t>(value));
}

PacketWriter& PacketWriter::String(std::string_view value) {
  U32(static_cast<uint32_t>(value.size()));
  buffer_.append(value);
  return *this;
}

PacketWriter& PacketWriter::WriteAttrs(const Attrs& attrs) {
  // Extended attributes are never sent.
  const uint32_t flags = attrs.flags & ~kAttrExtended;
  U32(flags);
  if (flags & kAttrSize) U64(attrs.size);
  if (flags & kAttrUidGid) U32(attrs.uid).U32(attrs.gid);
  if (flags & kAttrPermissions) U32(attrs.permissions);
  if (flags & kAttrTimes) U32(attrs.atime).U32(attrs.mtime);
  return *this;
}

std::string PacketWriter::Finish() {
  const uint32_t length = static_cast<uint32_t>(buffer_.size() - 4);
  for (int i = 0; i < 4; ++i) buffer_[i] = static_cast<char>((length >> (24 - 8 * i)) & 0xff);
  return std::move(buffer_);
}

std::string StatusPacket(uint32_t id, uint32_t code, std::string_view message) {
  return PacketWriter(kStatus).U32(id).U32(code).String(message).String("en").Finish();
}

}  // namespace vorlane::termserver::sftp
