#include "platform/termserver/sftp_server.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "platform/termserver/tests/sftp_test_client.h"
#include "testing/temp_dir.h"

namespace vorlane::termserver::testing {
namespace {

namespace fs = std::filesystem;

// Protocol numbers, written out here rather than taken from the server's headers.
enum : uint8_t { OPEN = 3, CLOSE, READ, WRITE, LSTAT, FSTAT, SETSTAT, FSETSTAT, OPENDIR, READDIR, REMOVE,
                 MKDIR, RMDIR, REALPATH, STAT, RENAME, READLINK, SYMLINK };
enum : uint32_t { OK = 0, END = 1, NO_SUCH_FILE, DENIED, FAILURE, BAD_MESSAGE, UNSUPPORTED = 8 };
enum : uint32_t { F_READ = 1, F_WRITE = 2, F_APPEND = 4, F_CREAT = 8, F_TRUNC = 0x10, F_EXCL = 0x20 };

using testkit::ReadFile;
using testkit::WriteFile;

class SftpServerTest : public ::testing::Test {
 protected:
  SftpServerTest() { client_.Init(); }

  // Writes `content` through the protocol in 32 KiB requests.
  void Upload(const std::string& path, const std::string& content) {
    std::string handle = client_.Open(path, F_CREAT | F_WRITE | F_TRUNC).Handle();
    for (size_t done = 0; done < content.size(); done += 32768) {
      auto chunk = std::string_view(content).substr(done, 32768);
      ASSERT_EQ(client_.Call(WRITE, [&](Req& r) { r.Str(handle).U64(done).Str(chunk); }).Status(), OK);
    }
    EXPECT_EQ(client_.Close(handle), OK);
  }
  // Reads a whole file through the protocol; every reply carries at most 64 KiB.
  std::string Download(const std::string& path) {
    std::string handle = client_.Open(path, F_READ).Handle(), content;
    for (int i = 0; i < 1000; ++i) {
      Reply reply = client_.Call(READ, [&](Req& r) { r.Str(handle).U64(content.size()).U32(100000); });
      if (reply.type != 103) {
        EXPECT_EQ(reply.Status(), END);
        break;
      }
      std::string data = reply.rest.Str();
      EXPECT_LE(data.size(), 65536u);
      content += data;
    }
    EXPECT_EQ(client_.Close(handle), OK);
    return content;
  }
  // Every name of a folder, over as many READDIR replies as it takes.
  std::map<std::string, std::string> List(const std::string& path) {
    std::map<std::string, std::string> names;  // name -> long name
    std::string handle = client_.Path(OPENDIR, path).Handle();
    for (int i = 0; i < 100; ++i) {
      Reply reply = client_.Path(READDIR, handle);
      if (reply.type != 104) {
        EXPECT_EQ(reply.Status(), END);
        break;
      }
      for (uint32_t n = reply.rest.U32(); n > 0 && reply.rest.ok; --n) {
        std::string name = reply.rest.Str();
        EXPECT_FALSE(names.count(name)) << name << " listed twice";
        names[name] = reply.rest.Str();
        reply.rest.Attrs();
      }
      EXPECT_TRUE(reply.rest.ok);
    }
    EXPECT_EQ(client_.Close(handle), OK);
    return names;
  }
  std::string Event(int op, const std::string& path, const std::string& path2, const fs::path& real) {
    return "Sftp:" + std::to_string(op) + ":" + path + ":" + path2 + ":" + real.string();
  }

  // Runs before client_ is built, since the server asks for its home when it starts.
  bool Prepare() {
    base_ = fs::canonical(temp_.Path());
    home_ = base_ / "home";
    fs::create_directories(home_ / "docs");
    fs::create_directories(base_ / "home-sibling");
    WriteFile(base_ / "home-sibling" / "secret.txt", "sibling secret");
    WriteFile(home_ / "docs" / "a.txt", "alpha");
    connection_.sftpHome = home_.string();
    return true;
  }

  testkit::TempDir temp_{"vorlane-sftp"};
  fs::path base_, home_;
  FakeConnection connection_;
  bool prepared_ = Prepare();
  SftpClient client_{connection_};
};

// --- Protocol and framing

TEST_F(SftpServerTest, InitIsAnsweredWithVersionThreeAndNoExtensions) {
  ASSERT_TRUE(client_.Feed(Req(1).U32(6).Packet()));
  auto replies = client_.Replies();
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].type, 2);
  EXPECT_EQ(replies[0].rest.data, std::string("\0\0\0\3", 4));
}

TEST_F(SftpServerTest, BytesFedOneAtATimeGiveTheSameReplies) {
  std::string stream = Req(REALPATH).U32(41).Str("a/../b").Packet() + Req(REALPATH).U32(42).Str(".").Packet();
  ASSERT_TRUE(client_.Feed(stream, /*byteByByte=*/true));
  auto replies = client_.Replies();
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].id, 41u);
  replies[0].rest.U32();
  EXPECT_EQ(replies[0].rest.Str(), "/b");
  EXPECT_EQ(replies[1].id, 42u);
}

TEST_F(SftpServerTest, UnknownAndUnsupportedRequestsAnswerOpUnsupported) {
  EXPECT_EQ(client_.Call(99).Status(), UNSUPPORTED);
  EXPECT_EQ(client_.Call(200, [](Req& r) { r.Str("posix-rename@openssh.com").Str("a").Str("b"); }).Status(),
            UNSUPPORTED);
  EXPECT_EQ(client_.Path(READLINK, "docs").Status(), UNSUPPORTED);
}

TEST(SftpServerFraming, RequestBeforeInitEndsTheStream) {
  FakeConnection connection;
  SftpClient client(connection);
  EXPECT_FALSE(client.Feed(Req(REALPATH).U32(1).Str(".").Packet()));
  EXPECT_TRUE(client.Replies().empty());
}

TEST_F(SftpServerTest, MalformedLengthsEndTheStream) {
  EXPECT_FALSE(client_.Feed(std::string(4, '\0')));  // length 0
  EXPECT_FALSE(client_.Feed(Req(1).U32(3).Packet()));  // stays ended
  SftpClient huge(connection_);
  EXPECT_FALSE(huge.Feed("\x7f\xff\xff\xff\x03"));
  SftpClient oneOver(connection_);
  EXPECT_FALSE(oneOver.Feed(Req(0).U32(256 * 1024 + 1025).body.substr(1)));
  SftpClient noId(connection_);
  noId.Init();
  EXPECT_FALSE(noId.Feed(std::string("\0\0\0\2\x03\x00", 6)));
}

TEST_F(SftpServerTest, TruncatedFieldsAnswerBadMessageAndTheSessionGoesOn) {
  Req open(OPEN);
  open.U32(7).U32(100).body += "abc";  // path length 100, three bytes present
  ASSERT_TRUE(client_.Feed(open.Packet()));
  auto replies = client_.Replies();
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].id, 7u);
  EXPECT_EQ(replies[0].Status(), BAD_MESSAGE);
  EXPECT_EQ(client_.Call(WRITE, [](Req& r) { r.Str("1").U64(0).U32(50); }).Status(), BAD_MESSAGE);
  // Attributes flagged as present but missing.
  EXPECT_EQ(client_.Call(MKDIR, [](Req& r) { r.Str("new").U32(4); }).Status(), BAD_MESSAGE);
  EXPECT_FALSE(fs::exists(home_ / "new"));
  EXPECT_EQ(client_.Path(STAT, "docs").type, 105);
}

// --- Files and folders

TEST_F(SftpServerTest, UploadThenDownloadKeepsTwoHundredKilobytesIntact) {
  std::string content(200 * 1024, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 131 + i / 977) & 0xff);
  Upload("/docs/big.bin", content);
  EXPECT_EQ(ReadFile(home_ / "docs" / "big.bin"), content);
  EXPECT_EQ(Download("docs/big.bin"), content);
  Reply stat = client_.Path(STAT, "/docs/big.bin");
  ASSERT_EQ(stat.type, 105);
  auto [size, perms] = stat.rest.Attrs();
  EXPECT_EQ(size, content.size());
  EXPECT_TRUE(S_ISREG(perms));
}

TEST_F(SftpServerTest, OpenFlagsAreHonoured) {
  Upload("f.txt", "0123456789");
  std::string handle = client_.Open("f.txt", F_WRITE | F_APPEND).Handle();
  EXPECT_EQ(client_.Call(WRITE, [&](Req& r) { r.Str(handle).U64(0).Str("AB"); }).Status(), OK);
  EXPECT_EQ(client_.Close(handle), OK);
  EXPECT_EQ(ReadFile(home_ / "f.txt"), "0123456789AB");
  // CREAT|EXCL on an existing file fails and leaves it alone.
  EXPECT_EQ(client_.Open("f.txt", F_CREAT | F_EXCL | F_WRITE | F_TRUNC).Status(), FAILURE);
  EXPECT_EQ(ReadFile(home_ / "f.txt"), "0123456789AB");
  EXPECT_EQ(client_.Close(client_.Open("g.txt", F_CREAT | F_EXCL | F_WRITE).Handle()), OK);
  EXPECT_TRUE(fs::exists(home_ / "g.txt"));
  EXPECT_EQ(client_.Open("missing.txt", F_READ).Status(), NO_SUCH_FILE);
  EXPECT_EQ(client_.Open("docs", F_READ).Status(), FAILURE);
  // A file opened for reading cannot be written through.
  handle = client_.Open("f.txt", F_READ).Handle();
  EXPECT_EQ(client_.Call(WRITE, [&](Req& r) { r.Str(handle).U64(0).Str("x"); }).Status(), DENIED);
  EXPECT_EQ(client_.Call(FSETSTAT, [&](Req& r) { r.Str(handle).U32(1).U64(0); }).Status(), DENIED);
  EXPECT_EQ(ReadFile(home_ / "f.txt"), "0123456789AB");
}

TEST_F(SftpServerTest, ListingShowsEveryEntryOnceWithLongNames) {
  for (int i = 0; i < 230; ++i) WriteFile(home_ / "docs" / ("f" + std::to_string(i)), "x");
  fs::create_directory(home_ / "docs" / "sub");
  auto names = List("/docs");
  EXPECT_EQ(names.size(), 232u);  // a.txt, sub and the 230 files; no "." or ".."
  EXPECT_EQ(names["sub"].substr(0, 1), "d");
  EXPECT_EQ(names["a.txt"].substr(0, 3), "-rw");  // the rest depends on the umask
  EXPECT_NE(names["a.txt"].find(" 5 "), std::string::npos) << names["a.txt"];
  EXPECT_EQ(names["a.txt"].substr(names["a.txt"].size() - 6), " a.txt");
  EXPECT_EQ(List("/").size(), 1u);
}

TEST_F(SftpServerTest, MakeRemoveAndRename) {
  EXPECT_EQ(client_.Call(MKDIR, [](Req& r) { r.Str("/new").U32(0); }).Status(), OK);
  EXPECT_TRUE(fs::is_directory(home_ / "new"));
  EXPECT_EQ(client_.Call(MKDIR, [](Req& r) { r.Str("new").U32(0); }).Status(), FAILURE);
  EXPECT_EQ(client_.Call(RENAME, [](Req& r) { r.Str("docs/a.txt").Str("new/b.txt"); }).Status(), OK);
  EXPECT_EQ(ReadFile(home_ / "new" / "b.txt"), "alpha");
  WriteFile(home_ / "c.txt", "gamma");
  // Version 3 rename never replaces an existing file.
  EXPECT_EQ(client_.Call(RENAME, [](Req& r) { r.Str("c.txt").Str("new/b.txt"); }).Status(), FAILURE);
  EXPECT_EQ(ReadFile(home_ / "new" / "b.txt"), "alpha");
  EXPECT_EQ(client_.Path(RMDIR, "new").Status(), FAILURE);  // not empty
  EXPECT_EQ(client_.Path(REMOVE, "new/b.txt").Status(), OK);
  EXPECT_EQ(client_.Path(REMOVE, "new/b.txt").Status(), NO_SUCH_FILE);
  EXPECT_EQ(client_.Path(RMDIR, "new").Status(), OK);
  EXPECT_FALSE(fs::exists(home_ / "new"));
  // The home itself can be neither removed nor renamed.
  EXPECT_EQ(client_.Path(RMDIR, "/").Status(), DENIED);
  EXPECT_EQ(client_.Path(REMOVE, "..").Status(), DENIED);
  EXPECT_EQ(client_.Call(RENAME, [](Req& r) { r.Str("/").Str("x"); }).Status(), DENIED);
  EXPECT_TRUE(fs::is_directory(home_));
}

TEST_F(SftpServerTest, SetstatChangesPermissionsTimesAndSizeButNoSpecialBits) {
  WriteFile(home_ / "s.txt", "0123456789");
  EXPECT_EQ(client_.Call(SETSTAT, [](Req& r) { r.Str("s.txt").U32(1 | 4 | 8).U64(4).U32(04751).U32(1000).U32(2000); })
                .Status(),
            OK);
  struct stat st;
  ASSERT_EQ(::stat((home_ / "s.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 4);
  EXPECT_EQ(st.st_mode & 07777, 0751u);
  EXPECT_EQ(st.st_mtime, 2000);
  std::string handle = client_.Open("s.txt", F_WRITE).Handle();
  EXPECT_EQ(client_.Call(FSETSTAT, [&](Req& r) { r.Str(handle).U32(1 | 4).U64(1).U32(0640); }).Status(), OK);
  auto [size, perms] = client_.Path(FSTAT, handle).rest.Attrs();
  EXPECT_EQ(size, 1u);
  EXPECT_EQ(perms & 07777, 0640u);
  EXPECT_EQ(client_.Close(handle), OK);
}

TEST_F(SftpServerTest, RealpathIsLexicalAndNeverAboveTheHome) {
  auto realpath = [&](std::string_view path) {
    Reply reply = client_.Path(REALPATH, path);
    EXPECT_EQ(reply.type, 104);
    EXPECT_EQ(reply.rest.U32(), 1u);
    return reply.rest.Str();
  };
  EXPECT_EQ(realpath("."), "/");
  EXPECT_EQ(realpath(""), "/");
  EXPECT_EQ(realpath(".."), "/");
  EXPECT_EQ(realpath("../../x"), "/x");
  EXPECT_EQ(realpath("/a/./b//../c/"), "/a/c");
}

// --- Confinement

TEST_F(SftpServerTest, DotDotAndAbsolutePathsStayInsideTheHome) {
  for (const char* path : {"../../etc/passwd", "/etc/passwd", "/../etc/passwd", "../home-sibling/secret.txt",
                           "/../home-sibling/secret.txt"}) {
    Reply reply = client_.Open(path, F_READ);
    EXPECT_EQ(reply.Status(), NO_SUCH_FILE) << path;
  }
  EXPECT_EQ(client_.Path(OPENDIR, "../home-sibling").Status(), NO_SUCH_FILE);
  // What "../../etc/passwd" names is the home's own etc/passwd.
  fs::create_directory(home_ / "etc");
  WriteFile(home_ / "etc" / "passwd", "inside");
  EXPECT_EQ(Download("../../etc/passwd"), "inside");
  EXPECT_EQ(client_.Call(RENAME, [](Req& r) { r.Str("docs/a.txt").Str("../../outside.txt"); }).Status(), OK);
  EXPECT_EQ(ReadFile(home_ / "outside.txt"), "alpha");
  EXPECT_FALSE(fs::exists(base_ / "outside.txt"));
}

TEST_F(SftpServerTest, SymbolicLinksAreNeverFollowed) {
  fs::create_directory_symlink("/etc", home_ / "etc-link");
  fs::create_directory_symlink(base_ / "home-sibling", home_ / "sib");
  fs::create_symlink(base_ / "home-sibling" / "secret.txt", home_ / "last");
  EXPECT_EQ(client_.Open("etc-link/passwd", F_READ).Status(), DENIED);
  EXPECT_EQ(client_.Open("sib/secret.txt", F_READ).Status(), DENIED);
  EXPECT_EQ(client_.Open("last", F_READ).Status(), DENIED);
  EXPECT_EQ(client_.Open("last", F_WRITE | F_CREAT | F_TRUNC).Status(), DENIED);
  EXPECT_EQ(client_.Open("sib/new.txt", F_WRITE | F_CREAT).Status(), DENIED);
  EXPECT_EQ(client_.Path(OPENDIR, "sib").Status(), DENIED);
  EXPECT_EQ(client_.Path(STAT, "last").Status(), DENIED);
  EXPECT_EQ(client_.Call(MKDIR, [](Req& r) { r.Str("sib/d").U32(0); }).Status(), DENIED);
  EXPECT_EQ(client_.Call(SETSTAT, [](Req& r) { r.Str("last").U32(4).U32(0777); }).Status(), DENIED);
  EXPECT_EQ(client_.Call(RENAME, [](Req& r) { r.Str("docs/a.txt").Str("sib/a.txt"); }).Status(), DENIED);
  // LSTAT reports the link itself.
  auto [size, perms] = client_.Path(LSTAT, "last").rest.Attrs();
  EXPECT_TRUE(S_ISLNK(perms));
  // Nothing outside was read, changed or created.
  EXPECT_EQ(ReadFile(base_ / "home-sibling" / "secret.txt"), "sibling secret");
  EXPECT_NE(fs::status(base_ / "home-sibling" / "secret.txt").permissions(), fs::perms::all);
  EXPECT_EQ(std::distance(fs::directory_iterator(base_ / "home-sibling"), fs::directory_iterator()), 1);
  // Removing a link removes only the link.
  EXPECT_EQ(client_.Path(REMOVE, "last").Status(), OK);
  EXPECT_TRUE(fs::exists(base_ / "home-sibling" / "secret.txt"));
}

TEST_F(SftpServerTest, SymlinkRequestsAreRefused) {
  EXPECT_EQ(client_.Call(SYMLINK, [](Req& r) { r.Str("l").Str("/etc"); }).Status(), DENIED);
  EXPECT_FALSE(fs::exists(fs::symlink_status(home_ / "l")));
}

TEST_F(SftpServerTest, NulInsideAPathIsNotCutShort) {
  EXPECT_EQ(client_.Open(std::string("docs/a.txt\0.zip", 15), F_READ).Status(), FAILURE);
  EXPECT_EQ(client_.Path(REMOVE, std::string("docs/a.txt\0x", 12)).Status(), FAILURE);
  EXPECT_TRUE(fs::exists(home_ / "docs" / "a.txt"));
}

// --- The application's decisions

TEST_F(SftpServerTest, EventsCarryTheOperationAndTheResolvedPath) {
  Upload("/docs/up.txt", "data");
  Download("docs/up.txt");
  client_.Close(client_.Open("docs/up.txt", F_READ | F_WRITE).Handle());
  List("docs");
  client_.Call(MKDIR, [](Req& r) { r.Str("d").U32(0); });
  client_.Call(RENAME, [](Req& r) { r.Str("docs/up.txt").Str("d/../moved.txt"); });
  client_.Path(REMOVE, "moved.txt");
  client_.Path(RMDIR, "./d");
  client_.Path(STAT, "docs");  // no event
  EXPECT_EQ(connection_.Events(), (std::vector<std::string>{
      Event(10, "/docs/up.txt", "", home_ / "docs/up.txt"), Event(9, "/docs/up.txt", "", home_ / "docs/up.txt"),
      Event(10, "/docs/up.txt", "", home_ / "docs/up.txt"), Event(9, "/docs/up.txt", "", home_ / "docs/up.txt"),
      Event(8, "/docs", "", home_ / "docs"), Event(13, "/d", "", home_ / "d"),
      Event(14, "/docs/up.txt", "/moved.txt", home_ / "docs/up.txt"), Event(12, "/moved.txt", "", home_ / "moved.txt"),
      Event(11, "/d", "", home_ / "d")}));
}

TEST_F(SftpServerTest, RefusedOperationsChangeNothing) {
  fs::create_directory(home_ / "keep");
  connection_.sftpAllow = false;
  EXPECT_EQ(client_.Open("new.txt", F_CREAT | F_WRITE).Status(), DENIED);
  EXPECT_EQ(client_.Open("docs/a.txt", F_WRITE | F_TRUNC).Status(), DENIED);
  EXPECT_EQ(client_.Open("docs/a.txt", F_READ).Status(), DENIED);
  EXPECT_EQ(client_.Path(OPENDIR, "docs").Status(), DENIED);
  EXPECT_EQ(client_.Call(MKDIR, [](Req& r) { r.Str("m").U32(0); }).Status(), DENIED);
  EXPECT_EQ(client_.Path(RMDIR, "keep").Status(), DENIED);
  EXPECT_EQ(client_.Path(REMOVE, "docs/a.txt").Status(), DENIED);
  EXPECT_EQ(client_.Call(RENAME, [](Req& r) { r.Str("docs/a.txt").Str("b.txt"); }).Status(), DENIED);
  EXPECT_EQ(client_.Call(SETSTAT, [](Req& r) { r.Str("docs/a.txt").U32(1).U64(0); }).Status(), DENIED);
  EXPECT_FALSE(fs::exists(home_ / "new.txt"));
  EXPECT_FALSE(fs::exists(home_ / "m"));
  EXPECT_FALSE(fs::exists(home_ / "b.txt"));
  EXPECT_TRUE(fs::is_directory(home_ / "keep"));
  EXPECT_EQ(ReadFile(home_ / "docs" / "a.txt"), "alpha");
  EXPECT_EQ(connection_.Events().size(), 9u);
}

// --- Handles

TEST_F(SftpServerTest, OpenHandlesAreCapped) {
  std::vector<std::string> handles;
  for (int i = 0; i < 256; ++i) handles.push_back(client_.Open("docs/a.txt", F_READ).Handle());
  EXPECT_EQ(client_.Open("docs/a.txt", F_READ).Status(), FAILURE);
  EXPECT_EQ(client_.Path(OPENDIR, "docs").Status(), FAILURE);
  EXPECT_EQ(client_.Close(handles.back()), OK);
  EXPECT_EQ(client_.Close(handles.back()), FAILURE);  // already closed
  EXPECT_EQ(client_.Close(client_.Open("docs/a.txt", F_READ).Handle()), OK);
}

TEST_F(SftpServerTest, HandlesOfTheWrongKindOrUnknownAreRejected) {
  std::string dir = client_.Path(OPENDIR, "docs").Handle();
  std::string file = client_.Open("docs/a.txt", F_READ).Handle();
  EXPECT_EQ(client_.Call(READ, [&](Req& r) { r.Str(dir).U64(0).U32(10); }).Status(), FAILURE);
  EXPECT_EQ(client_.Path(READDIR, file).Status(), FAILURE);
  EXPECT_EQ(client_.Call(READ, [](Req& r) { r.Str("nope").U64(0).U32(10); }).Status(), FAILURE);
  EXPECT_EQ(client_.Path(FSTAT, dir).type, 105);
}

TEST(SftpServerNoHome, EveryFileOperationFailsWithoutAHome) {
  FakeConnection connection;
  connection.sftpHome = "/nonexistent/vorlane-sftp-home";
  SftpClient client(connection);
  client.Init();
  EXPECT_EQ(client.Open("x", F_READ).Status(), NO_SUCH_FILE);
  EXPECT_EQ(client.Path(OPENDIR, "/").Status(), NO_SUCH_FILE);
  EXPECT_TRUE(connection.Events().empty());
}

}  // namespace
}  // namespace vorlane::termserver::testing
