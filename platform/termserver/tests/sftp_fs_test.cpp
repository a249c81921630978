#include "platform/termserver/sftp_fs.h"

#include <fcntl.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "testing/temp_dir.h"

namespace vorlane::termserver::sftp {
namespace {

namespace fs = std::filesystem;
using Parts = std::vector<std::string>;

TEST(SftpFsNormalize, DotsAndSlashesNeverClimbAboveTheRoot) {
  EXPECT_EQ(NormalizePath(""), Parts{});
  EXPECT_EQ(NormalizePath("/"), Parts{});
  EXPECT_EQ(NormalizePath("../.."), Parts{});
  EXPECT_EQ(NormalizePath("../../etc/passwd"), (Parts{"etc", "passwd"}));
  EXPECT_EQ(NormalizePath("/etc/passwd"), (Parts{"etc", "passwd"}));
  EXPECT_EQ(NormalizePath("a//./b/../../../c/"), Parts{"c"});
  EXPECT_EQ(NormalizePath("a/..b/.c"), (Parts{"a", "..b", ".c"}));
  EXPECT_EQ(JoinClientPath({}), "/");
  EXPECT_EQ(JoinClientPath({"a", "b"}), "/a/b");
}

class SftpFsTest : public ::testing::Test {
 protected:
  SftpFsTest() {
    base_ = fs::canonical(temp_.Path());
    fs::create_directories(base_ / "home" / "dir");
    std::ofstream(base_ / "home" / "file") << "x";
    fs::create_directory_symlink(base_, base_ / "home" / "up");
  }
  testkit::TempDir temp_{"vorlane-sftpfs"};
  fs::path base_;
};

TEST_F(SftpFsTest, ResolveTellsMissingFoldersFromRefusedLinks) {
  ConfinedFs confined((base_ / "home").string());
  ASSERT_TRUE(confined.valid());
  Target target;
  EXPECT_EQ(confined.Resolve("/dir/new", target), 0);
  EXPECT_EQ(target.name, "new");
  EXPECT_EQ(target.clientPath, "/dir/new");
  EXPECT_EQ(target.realPath, (base_ / "home" / "dir" / "new").string());
  EXPECT_EQ(confined.Resolve("missing/x", target), ENOENT);
  EXPECT_EQ(confined.Resolve("file/x", target), ENOTDIR);
  EXPECT_EQ(confined.Resolve("up/home/file", target), ELOOP);
  EXPECT_EQ(confined.Resolve("..", target), 0);
  EXPECT_TRUE(target.IsHome());
  EXPECT_EQ(target.realPath, (base_ / "home").string());
}

TEST_F(SftpFsTest, AHomeGivenThroughALinkIsNamedByItsRealPath) {
  fs::create_directory_symlink(base_ / "home", base_ / "alias");
  ConfinedFs confined((base_ / "alias").string() + "/");
  Target target;
  ASSERT_EQ(confined.Resolve("file", target), 0);
  EXPECT_EQ(target.realPath, (base_ / "home" / "file").string());
  struct stat st;
  EXPECT_EQ(confined.Stat(target, st), 0);
  ASSERT_EQ(confined.Resolve("up", target), 0);
  EXPECT_EQ(confined.Stat(target, st), ELOOP);
  EXPECT_EQ(confined.Lstat(target, st), 0);
  DirPtr dir;
  EXPECT_EQ(confined.OpenDir(target, dir), ELOOP);
}

TEST_F(SftpFsTest, SpecialFilesAreNotOpened) {
  ASSERT_EQ(::mkfifo((base_ / "home" / "fifo").c_str(), 0600), 0);
  ConfinedFs confined((base_ / "home").string());
  Target target;
  ASSERT_EQ(confined.Resolve("fifo", target), 0);
  UniqueFd file;
  EXPECT_EQ(confined.OpenFile(target, O_RDONLY, 0, file), EACCES);  // and does not block
  EXPECT_FALSE(file.valid());
  EXPECT_FALSE(ConfinedFs("").valid());
}

}  // namespace
}  // namespace vorlane::termserver::sftp
