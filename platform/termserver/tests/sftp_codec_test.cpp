#include "platform/termserver/sftp_codec.h"

#include <gtest/gtest.h>

namespace vorlane::termserver::sftp {
namespace {

// A big-endian length field.
std::string Length(uint32_t n) {
  return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8), static_cast<char>(n)};
}

TEST(SftpCodecFramer, PacketsAreCutAtTheirLengthWhateverTheChunks) {
  PacketFramer framer;
  std::string packet;
  framer.Append(Length(3).substr(0, 2));
  EXPECT_EQ(framer.Next(packet), PacketFramer::Result::kNeedMore);
  framer.Append(Length(3).substr(2) + "ab");
  EXPECT_EQ(framer.Next(packet), PacketFramer::Result::kNeedMore);
  framer.Append("c" + Length(1) + "x" + Length(2));
  ASSERT_EQ(framer.Next(packet), PacketFramer::Result::kPacket);
  EXPECT_EQ(packet, "abc");
  ASSERT_EQ(framer.Next(packet), PacketFramer::Result::kPacket);
  EXPECT_EQ(packet, "x");
  EXPECT_EQ(framer.Next(packet), PacketFramer::Result::kNeedMore);
}

TEST(SftpCodecFramer, LengthsOutsideTheLimitAreErrorsBeforeAnyBodyArrives) {
  PacketFramer atLimit, overLimit, zero;
  std::string packet;
  atLimit.Append(Length(kMaxPacketBytes));
  EXPECT_EQ(atLimit.Next(packet), PacketFramer::Result::kNeedMore);
  overLimit.Append(Length(kMaxPacketBytes + 1));
  EXPECT_EQ(overLimit.Next(packet), PacketFramer::Result::kError);
  zero.Append(Length(0));
  EXPECT_EQ(zero.Next(packet), PacketFramer::Result::kError);
}

TEST(SftpCodecReader, AFieldPastTheEndFailsThisAndEveryLaterRead) {
  const std::string packet = Length(100) + "abc" + Length(7);
  PacketReader in(packet);
  EXPECT_EQ(in.String(), "");
  EXPECT_FALSE(in.ok());
  EXPECT_EQ(in.U32(), 0u);  // the 7 is not read once the string failed
  PacketReader shortInt(std::string_view("\1\2\3", 3));
  shortInt.U32();
  EXPECT_FALSE(shortInt.ok());
}

TEST(SftpCodecReader, AttributesRoundTripAndExtendedPairsAreSkipped) {
  Attrs attrs;
  attrs.flags = kAttrSize | kAttrUidGid | kAttrPermissions | kAttrTimes;
  attrs.size = 0x123456789aULL;
  attrs.uid = 7;
  attrs.gid = 8;
  attrs.permissions = 0100644;
  attrs.atime = 11;
  attrs.mtime = 12;
  std::string packet = PacketWriter(kAttrs).WriteAttrs(attrs).U32(99).Finish();
  PacketReader in(std::string_view(packet).substr(4));
  EXPECT_EQ(in.U8(), kAttrs);
  Attrs read = in.ReadAttrs();
  EXPECT_EQ(in.U32(), 99u);
  ASSERT_TRUE(in.ok());
  EXPECT_EQ(read.size, attrs.size);
  EXPECT_EQ(read.permissions, attrs.permissions);
  EXPECT_EQ(read.mtime, 12u);
  // Extended pairs after the permissions; the field after them still reads right.
  std::string extended = PacketWriter(0).U32(kAttrPermissions | kAttrExtended).U32(0600).U32(2)
                             .String("a").String("b").String("c").String("d").U32(5).Finish();
  PacketReader ext(std::string_view(extended).substr(5));
  EXPECT_EQ(ext.ReadAttrs().permissions, 0600u);
  EXPECT_EQ(ext.U32(), 5u);
  EXPECT_TRUE(ext.ok());
  // A huge pair count with nothing behind it fails instead of looping.
  std::string bogus = PacketWriter(0).U32(kAttrExtended).U32(0xffffffff).Finish();
  PacketReader bad(std::string_view(bogus).substr(5));
  bad.ReadAttrs();
  EXPECT_FALSE(bad.ok());
}

TEST(SftpCodecWriter, StatusPacketLayout) {
  EXPECT_EQ(StatusPacket(0x01020304, kNoSuchFile, "gone"),
            std::string("\0\0\0\x17\x65\1\2\3\4\0\0\0\2\0\0\0\4gone\0\0\0\2en", 27));
}

TEST(SftpCodecLongName, LooksLikeLsLongFormat) {
  struct stat st {};
  st.st_mode = S_IFREG | 04755;
  st.st_nlink = 1;
  st.st_size = 1234;
  std::string line = LongName("file name", st, "root", "wheel");
  EXPECT_EQ(line.substr(0, 10), "-rwsr-xr-x");
  EXPECT_NE(line.find(" root "), std::string::npos);
  EXPECT_NE(line.find(" wheel "), std::string::npos);
  EXPECT_NE(line.find(" 1234 "), std::string::npos);
  EXPECT_EQ(line.substr(line.size() - 10), " file name");
  st.st_mode = S_IFDIR | 01777;
  EXPECT_EQ(LongName("d", st, "1", "2").substr(0, 10), "drwxrwxrwt");
}

}  // namespace
}  // namespace vorlane::termserver::sftp
