#include <sys/stat.h>

#include <cerrno>
#include <functional>
#include <string>

#include "platform/profile/profile.h"
#include "platform/profile/tests/profile_test_util.h"
#include "testing/run_program.h"

namespace vorlane::profile {
namespace {

using namespace std::string_literals;

using testkit::RunUnprivileged;

// The error code of writing s/k=2 to `file` without the privilege to ignore permissions; 0 when
// the write succeeds.
int UnprivilegedWriteError(const std::filesystem::path& file) {
  return RunUnprivileged([&] {
    Status status = WriteString(file, "s", "k", "2");
    return status.ok() ? 0 : status.error().code;
  });
}

mode_t ModeOf(const std::filesystem::path& file) {
  struct stat st {};
  EXPECT_EQ(::stat(file.c_str(), &st), 0);
  return st.st_mode & 07777;
}

size_t EntriesIn(const std::filesystem::path& dir) {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) ++count;
  return count;
}

class ProfileWrite : public ::testing::Test {
 protected:
  void Write(std::string_view section, std::string_view key, std::string_view value) {
    Status status = WriteString(file_, section, key, value);
    ASSERT_TRUE(status.ok()) << status.error().message;
  }
  std::string Text() const { return testing::ReadFile(file_); }

  testing::TempDir dir_{"vorlane-profile"};
  std::filesystem::path file_ = dir_.Path() / "agent.ini";
};

TEST_F(ProfileWrite, CreatesMissingFileWithUmaskMode) {
  mode_t old = ::umask(027);
  Status status = WriteString(file_, "Net", "Port", "8080");
  ::umask(old);
  ASSERT_TRUE(status.ok()) << status.error().message;
  EXPECT_EQ(Text(), "[Net]\nPort=8080\n");
  EXPECT_EQ(ModeOf(file_), 0640u);
  EXPECT_EQ(GetInt(file_, "net", "port", 0), 8080);
}

// One write into a file as it stands: where its line goes, and that what was there still reads.
TEST_F(ProfileWrite, OneWritePutsItsLineWhereItBelongs) {
  struct Case {
    const char* what;
    const char* file;
    const char* section;
    const char* key;
    const char* value;
    const char* expected;
    const char* stillSection = nullptr;  // with stillKey and stillValue: a value the write keeps
    const char* stillKey = nullptr;
    const char* stillValue = nullptr;
  };
  // A last line ending in a bare CR is already ended for the reader, which drops that CR: a line
  // end written behind it would put the CR into the line's value. Only the missing LF is added.
  const Case cases[] = {
      {"a replaced key keeps its spelling from the file, its line loses its padding, nothing else changes",
       "\xEF\xBB\xBF; header comment\r\n\r\n[Main]\r\n  Level = 1 \r\nodd line\r\n\t; c\r\n[Other]\r\nLevel=9", "main",
       "LEVEL", "2", "\xEF\xBB\xBF; header comment\r\n\r\n[Main]\r\nLevel=2\r\nodd line\r\n\t; c\r\n[Other]\r\nLevel=9",
       "Other", "Level", "9"},
      {"only the first section and key", "[a]\nk=1\nk=2\n[A]\nk=3\n", "A", "K", "9", "[a]\nk=9\nk=2\n[A]\nk=3\n"},
      {"after the section's last key", "[a]\nx=1\n; note\ny=2\n\n; about b\n[b]\nz=3\n", "a", "new", "v",
       "[a]\nx=1\n; note\ny=2\nnew=v\n\n; about b\n[b]\nz=3\n", "b", "z", "3"},
      {"right after the header of a section without keys", "[a]\n; about a\n\n[b]\n", "a", "k", "v",
       "[a]\nk=v\n; about a\n\n[b]\n"},
      {"after an unterminated last line", "[a]\nx=1", "a", "y", "2", "[a]\nx=1\ny=2", "a", "x", "1"},
      {"a missing section on its own line", "[a]\nx=1", "b", "k", "v", "[a]\nx=1\n[b]\nk=v\n", "a", "x", "1"},
      {"bare CR, CR LF file, same section", "[s]\r\na=1\r\n[t]\r\nd=4\r", "t", "k", "v",
       "[s]\r\na=1\r\n[t]\r\nd=4\r\nk=v", "t", "d", "4"},
      {"bare CR, CR LF file, new section", "[s]\r\na=1\r\n[t]\r\nd=4\r", "u", "k", "v",
       "[s]\r\na=1\r\n[t]\r\nd=4\r\n[u]\r\nk=v\r\n", "t", "d", "4"},
      {"bare CR, LF file, same section", "[t]\nd=4\r", "t", "k", "v", "[t]\nd=4\r\nk=v", "t", "d", "4"},
      {"bare CR, LF file, new section", "[t]\nd=4\r", "u", "k", "v", "[t]\nd=4\r\n[u]\nk=v\n", "t", "d", "4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::WriteText(file_, c.file);
    Write(c.section, c.key, c.value);
    EXPECT_EQ(Text(), c.expected);
    EXPECT_EQ(GetString(file_, c.section, c.key, "", 64), c.value);
    if (c.stillSection != nullptr) {
      EXPECT_EQ(GetString(file_, c.stillSection, c.stillKey, "", 64), c.stillValue);
    }
  }
}

TEST_F(ProfileWrite, NewLinesFollowCrLfFiles) {
  testing::WriteText(file_, "[a]\r\nx=1\r\n");
  Write("a", "y", "2");
  Write("c", "z", "3");
  EXPECT_EQ(Text(), "[a]\r\nx=1\r\ny=2\r\n[c]\r\nz=3\r\n");
}

TEST_F(ProfileWrite, ValuesRoundTripExactly) {
  for (std::string_view value : {" lead", "trail ", "\t both \t", "\"quoted\"", "'single'", "\"", "'", "a\"b'",
                                 "\"mixed'", "", "  ", "x = y", "[not a header]", "; not a comment"}) {
    Write("s", "k", value);
    EXPECT_EQ(GetString(file_, "s", "k", "<none>", 256), value) << "[" << value << "] stored as " << Text();
  }
  Write("s", "k", " lead");
  EXPECT_EQ(Text(), "[s]\nk=\" lead\"\n");
}

TEST_F(ProfileWrite, RefusesInputThatCouldInjectOrVanish) {
  const std::string before = "[s]\nk=v\n";
  testing::WriteText(file_, before);
  struct Case {
    std::string section, key, value;
  };
  for (const Case& c : {Case{"s", "k", "a\r\n[x]"}, Case{"s", "k", "a\nb=c"}, Case{"s", "k", "a\rb"},
                        Case{"s", "k", "a\0b"s}, Case{"a]b", "k", "v"}, Case{"a\nb", "k", "v"}, Case{"", "k", "v"},
                        Case{" s", "k", "v"}, Case{"s\0x"s, "k", "v"}, Case{"s", "a=b", "v"}, Case{"s", "k\r\n", "v"},
                        Case{"s", "", "v"}, Case{"s", " k", "v"}, Case{"s", "k\t", "v"}, Case{"s", "[k]", "v"},
                        Case{"s", ";k", "v"}, Case{"s", "k\0"s, "v"}}) {
    Status status = WriteString(file_, c.section, c.key, c.value);
    ASSERT_FALSE(status.ok()) << c.section << "/" << c.key << "/" << c.value;
    EXPECT_EQ(status.error().code, EINVAL);
  }
  EXPECT_EQ(Text(), before);
  // Nor is a missing file created for a refused write.
  std::filesystem::path absent = dir_.Path() / "absent.ini";
  EXPECT_FALSE(WriteString(absent, "s", "k", "a\nb").ok());
  EXPECT_FALSE(std::filesystem::exists(absent));
}

TEST_F(ProfileWrite, DeleteKeyRemovesAllItsLinesInFirstSection) {
  testing::WriteText(file_, "[a]\r\nk=1\r\nx=2\r\n K =3\r\n[A]\r\nk=4\r\n");
  ASSERT_TRUE(DeleteKey(file_, "A", "k").ok());
  EXPECT_EQ(Text(), "[a]\r\nx=2\r\n[A]\r\nk=4\r\n");
  EXPECT_EQ(GetString(file_, "a", "k", "<none>", 64), "<none>");
}

TEST_F(ProfileWrite, DeleteSectionRemovesEveryCopy) {
  testing::WriteText(file_, "top=1\n[a]\nk=1\n; c\n\n[b]\ny=2\n[A]\nz=3");
  ASSERT_TRUE(DeleteSection(file_, "a").ok());
  EXPECT_EQ(Text(), "top=1\n[b]\ny=2\n");
  EXPECT_EQ(GetSectionNames(file_, 1024), std::vector<std::string>{"b"});
}

TEST_F(ProfileWrite, NoOpEditsLeaveFileUntouched) {
  const std::string before = "[a]\nk=v\n";
  testing::WriteText(file_, before);
  ino_t inode = testing::InodeOf(file_);
  EXPECT_TRUE(DeleteKey(file_, "a", "missing").ok());
  EXPECT_TRUE(DeleteKey(file_, "missing", "k").ok());
  EXPECT_TRUE(DeleteSection(file_, "missing").ok());
  EXPECT_TRUE(WriteString(file_, "a", "k", "v").ok());
  EXPECT_EQ(Text(), before);
  // Same inode: the file was not even rewritten.
  EXPECT_EQ(testing::InodeOf(file_), inode);

  std::filesystem::path absent = dir_.Path() / "absent.ini";
  EXPECT_TRUE(DeleteKey(absent, "a", "k").ok());
  EXPECT_TRUE(DeleteSection(absent, "a").ok());
  EXPECT_FALSE(std::filesystem::exists(absent));
}

TEST_F(ProfileWrite, MalformedFileOnlyOwnLineChanges) {
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk.push_back(static_cast<char>((i * 37) & 0xFF));
  const std::string head = "[s]\nk=old\n";
  // "[broken" does not end section s; the junk lives in a section of its own.
  const std::string tail = "[broken\n" + std::string(1 << 20, 'y') + "\n[junk]\n\0\0=\0\n"s + junk + "\n";
  testing::WriteText(file_, head + tail);
  Write("s", "k", "new");
  EXPECT_EQ(Text(), "[s]\nk=new\n" + tail);
  Write("s", "added", "1");
  EXPECT_EQ(Text(), "[s]\nk=new\nadded=1\n" + tail);
}

TEST_F(ProfileWrite, KeepsPermissionBits) {
  testing::WriteText(file_, "[s]\nk=1\n");
  ASSERT_EQ(::chmod(file_.c_str(), 0604), 0);
  Write("s", "k", "2");
  EXPECT_EQ(ModeOf(file_), 0604u);
}

TEST_F(ProfileWrite, ReadOnlyDirectoryFailsWithoutLeftovers) {
  std::filesystem::path locked = dir_.Path() / "locked";
  std::filesystem::path file = locked / "agent.ini";
  ASSERT_TRUE(std::filesystem::create_directory(locked));
  testing::WriteText(file, "[s]\nk=1\n");
  // The file itself stays writable: only the directory keeps the new file from being created.
  ASSERT_EQ(::chmod(file.c_str(), 0666), 0);
  ASSERT_EQ(::chmod(locked.c_str(), 0555), 0);
  ASSERT_EQ(::chmod(dir_.Path().c_str(), 0755), 0);

  EXPECT_EQ(UnprivilegedWriteError(file), EACCES);
  EXPECT_EQ(testing::ReadFile(file), "[s]\nk=1\n");
  EXPECT_EQ(EntriesIn(locked), 1u);
}

TEST_F(ProfileWrite, ReadOnlyFileIsNotReplaced) {
  testing::WriteText(file_, "[s]\nk=1\n");
  // Everything but the file itself is open to the writer.
  ASSERT_EQ(::chmod(file_.c_str(), 0444), 0);
  ASSERT_EQ(::chmod(dir_.Path().c_str(), 0777), 0);
  EXPECT_EQ(UnprivilegedWriteError(file_), EACCES);
  EXPECT_EQ(Text(), "[s]\nk=1\n");
  EXPECT_EQ(EntriesIn(dir_.Path()), 1u);
}

TEST_F(ProfileWrite, ErrorNamesTheFile) {
  Status status = WriteString(dir_.Path(), "s", "k", "v");
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().code, EISDIR);
  EXPECT_NE(status.error().message.find(dir_.Path().string()), std::string::npos) << status.error().message;

  std::filesystem::path nowhere = dir_.Path() / "no-such-dir" / "agent.ini";
  status = WriteString(nowhere, "s", "k", "v");
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().code, ENOENT);
  EXPECT_NE(status.error().message.find(nowhere.string()), std::string::npos) << status.error().message;
}

TEST_F(ProfileWrite, SymlinkedFileIsReplacedBehindTheLink) {
  std::filesystem::path real = dir_.Path() / "real.ini";
  testing::WriteText(real, "[s]\nk=1\n");
  std::filesystem::create_symlink("real.ini", file_);
  Write("s", "k", "2");
  EXPECT_TRUE(std::filesystem::is_symlink(file_));
  EXPECT_EQ(testing::ReadFile(real), "[s]\nk=2\n");

  // A dangling link gets its target created.
  std::filesystem::path link = dir_.Path() / "dangling.ini";
  std::filesystem::create_symlink("created.ini", link);
  ASSERT_TRUE(WriteString(link, "s", "k", "3").ok());
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(testing::ReadFile(dir_.Path() / "created.ini"), "[s]\nk=3\n");
}

}  // namespace
}  // namespace vorlane::profile
