// Tests of the remote file actions: placeholder expansion, command line words, starting a real
// program detached and deleting files, with the answers byte for byte.
#include "agent/checks/file_actions.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "agent/checks/process_launch.h"
#include "agent/log/agent_log.h"
#include "agent/request/tests/request_test_support.h"
#include "platform/debuglog/debuglog.h"
#include "testing/poll_until.h"
#include "testing/scoped_env.h"
#include "testing/temp_dir.h"

namespace vorlane::agent {
namespace {

namespace fs = std::filesystem;
using testing::ContextOnFakeClock;
using testing::FakeUserHandle;
using testing::LogCapture;

constexpr int32_t kServiceIndex = 7;
constexpr std::string_view kStartedAnswer =
    "#keycount=3#responseaction=executefile#result=up#resultstring=Execute file started ok#";
constexpr std::string_view kDeletedAnswer =
    "#keycount=3#responseaction=deletefile#result=up#resultstring=File was deleted with success#";

std::string ExecuteFailed(const std::string& text) {
  return "#keycount=3#responseaction=executefile#result=down#resultstring=Error: " + text + "#";
}
std::string DeleteFailed(const std::string& text) {
  return "#keycount=3#responseaction=deletefile#result=down#resultstring=Error: " + text + "#";
}
std::string ExecuteRecord(const std::string& commandLine) {
  return "#keycount=3#requestaction=executefile#sessionid=X#CommandLine=" + commandLine + "#";
}
std::string DeleteRecord(const std::string& fileName) {
  return "#keycount=3#requestaction=deletefile#sessionid=X#FileName=" + fileName + "#";
}

using namespace std::chrono_literals;
using testkit::PollUntil;
using testkit::ReadFile;
using testkit::ScopedEnv;
using testkit::TempDir;

// A marker file is complete once its writer has put the final line end.
std::optional<std::string> WaitForMarker(const fs::path& file) {
  std::string text;
  const bool complete = PollUntil(
      [&] {
        text = ReadFile(file);
        return !text.empty() && text.back() == '\n';
      },
      5s, 50ms);
  if (!complete) return std::nullopt;
  return text;
}

void WriteScript(const fs::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary) << text;
  fs::permissions(file, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

std::string LoggedLine(std::string_view answer, int kind) {
  return debuglog::ToLine(FormatLogLine(answer, kind));
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Children of this process that are zombies, found in /proc.
std::vector<pid_t> ZombieChildren() {
  std::vector<pid_t> zombies;
  const std::string self = std::to_string(::getpid());
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    const std::string stat = ReadFile(entry.path() / "stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 1));
    std::string state;
    std::string ppid;
    fields >> state >> ppid;
    if (state == "Z" && ppid == self) zombies.push_back(static_cast<pid_t>(std::stoi(name)));
  }
  return zombies;
}

// ---- placeholders ----

TEST(FilePlaceholderTest, ExpandsBothPlaceholdersWithTheFoldersGiven) {
  struct Row {
    const char* what;
    std::string text, agentFolder, tmpFolder, expected;
  };
  const Row rows[] = {
      {"every occurrence of both", "%path_to_agent%helper /x %path_to_agent%a %tmp%r.txt %tmp%", "/opt/agent/",
       "/var/tmp/", "/opt/agent/helper /x /opt/agent/a /var/tmp/r.txt /var/tmp/"},
      {"case sensitive", "%TMP%x %Path_To_Agent%y %tmp%z", "/a/", "/t/", "%TMP%x %Path_To_Agent%y /t/z"},
      {"no text", "", "/a/", "/t/", ""},
      {"no placeholder", "%tmp %path_to_agent", "/a/", "/t/", "%tmp %path_to_agent"},
      {"unknown agent folder", "%path_to_agent%x %tmp%y", "", "/t/", "%path_to_agent%x /t/y"},
      {"unknown temporary folder", "%path_to_agent%x %tmp%y", "/a/", "", "/a/x %tmp%y"},
      {"inserted folder not searched", "%tmp%|%tmp%", "", "/x%tmp%/", "/x%tmp%/|/x%tmp%/"},
      // The temporary folder is replaced in the text as the agent's folder left it.
      {"agent folder first", "%path_to_agent%f", "/a%tmp%/", "/t/", "/a/t//f"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(ExpandAgentPlaceholders(row.text, row.agentFolder, row.tmpFolder), row.expected);
  }
}

TEST(FilePlaceholderTest, AgentFolderIsTheExecutablesFolderWithSlash) {
  const std::string expected = fs::read_symlink("/proc/self/exe").parent_path().string() + "/";
  EXPECT_EQ(AgentFolder(), expected);
  EXPECT_EQ(ExpandAgentPlaceholders("%path_to_agent%helper /x"), expected + "helper /x");
}

TEST(FilePlaceholderTest, TemporaryFolderFollowsTmpdirWithSlash) {
  {
    ScopedEnv env("TMPDIR", "/var/tmp");
    EXPECT_EQ(TemporaryFolder(), "/var/tmp/");
    EXPECT_EQ(ExpandAgentPlaceholders("%tmp%report.txt"), "/var/tmp/report.txt");
  }
  {
    ScopedEnv env("TMPDIR", "/scratch/");
    EXPECT_EQ(TemporaryFolder(), "/scratch/");
  }
  {
    ScopedEnv env("TMPDIR", "");
    EXPECT_EQ(TemporaryFolder(), "/tmp/");
  }
}

// ---- command line words ----

TEST(ExecuteFileWordsTest, SplitsAsTheShellDoes) {
  using Words = std::vector<std::string>;
  const std::pair<std::string_view, Words> rows[] = {
      {"  prog\t-a   b\nc ", {"prog", "-a", "b", "c"}},
      // Unquoted blanks in a path split it.
      {"/opt/My Tools/run x", {"/opt/My", "Tools/run", "x"}},
      {"\"/opt/My Tools/run\" 'a  b' c\" d\"e", {"/opt/My Tools/run", "a  b", "c de"}},
      // Single quotes take everything literally; double quotes escape only the shell's characters.
      {R"('a\b "c" $x')", {R"(a\b "c" $x)"}},
      {R"("a\"b\\c\$d\ne")", {R"(a"b\c$d\ne)"}},
      // A backslash outside quotes escapes any character.
      {R"(My\ Tool \'x\' \\ a\"b)", {"My Tool", "'x'", "\\", "a\"b"}},
      {"ab\\\ncd", {"abcd"}},
      {"prog \"\" ''", {"prog", "", ""}},
  };
  for (const auto& [line, words] : rows) {
    const CommandWords split = SplitCommandLine(line);
    EXPECT_EQ(split.error, 0) << line;
    EXPECT_EQ(split.words, words) << line;
  }
}

// Unfinished lines are invalid; no words is no program.
TEST(ExecuteFileWordsTest, UnfinishedOrEmptyLinesAreRefused) {
  const std::pair<std::string_view, int> rows[] = {
      {"prog \"open", EINVAL}, {"prog 'open", EINVAL}, {"prog end\\", EINVAL},
      {R"(prog "a\")", EINVAL}, {"", ENOENT},          {" \t ", ENOENT},
  };
  for (const auto& [line, error] : rows) EXPECT_EQ(SplitCommandLine(line).error, error) << line;
}

// ---- executefile ----

// Runs the file action handlers; each returns the one answer its handler sent.
class FileActionTest : public ::testing::Test {
 protected:
  std::string Execute(const std::string& commandLine) {
    user_.sent.clear();
    HandleExecuteFile(fixture_.context, user_, ExecuteRecord(commandLine), kServiceIndex);
    return user_.OnlyAnswer(kServiceIndex);
  }
  std::string Delete(const std::string& fileName) {
    user_.sent.clear();
    HandleDeleteFile(fixture_.context, user_, DeleteRecord(fileName), kServiceIndex);
    return user_.OnlyAnswer(kServiceIndex);
  }

  ContextOnFakeClock fixture_;
  FakeUserHandle user_;
  TempDir dir_{"vorlane-files"};
};
using ExecuteFileTest = FileActionTest;
using DeleteFileTest = FileActionTest;

TEST_F(ExecuteFileTest, StartsARealProgramAndLogsLineAndAnswer) {
  const fs::path marker = dir_.Path() / "marker";
  const std::string line = "/bin/sh -c 'echo \"started $1\" > \"$0\"' " + marker.string() + " \"two words\"";
  LogCapture log;
  EXPECT_EQ(Execute(line), kStartedAnswer);
  const std::optional<std::string> text = WaitForMarker(marker);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, "started two words\n");
  const std::vector<std::string> lines = log.Lines();
  EXPECT_TRUE(Contains(lines, LoggedLine(line, kLogInfo)));
  EXPECT_TRUE(Contains(lines, LoggedLine(kStartedAnswer, kLogOutgoing)));
}

TEST_F(ExecuteFileTest, ExpandsPlaceholdersInTheCommandLine) {
  ScopedEnv env("TMPDIR", dir_.Path().string());
  EXPECT_EQ(Execute("/bin/sh -c 'echo ok > %tmp%expanded'"), kStartedAnswer);
  EXPECT_EQ(WaitForMarker(dir_.Path() / "expanded"), std::optional<std::string>("ok\n"));
}

TEST_F(ExecuteFileTest, MissingProgramIsTheFailureAnswerWithItsText) {
  LogCapture log;
  const std::string expected = ExecuteFailed("No such file or directory");
  EXPECT_EQ(Execute((dir_.Path() / "no-such-program").string() + " /x"), expected);
  EXPECT_EQ(Execute("vorlane-no-such-program-on-path /x"), expected);
  EXPECT_TRUE(Contains(log.Lines(), LoggedLine(expected, kLogOutgoing)));
  EXPECT_FALSE(Contains(log.Lines(), LoggedLine(kStartedAnswer, kLogOutgoing)));
}

TEST_F(ExecuteFileTest, ProgramThatCannotBeExecutedIsRefused) {
  const fs::path notExecutable = dir_.Path() / "plain.txt";
  std::ofstream(notExecutable) << "#!/bin/sh\ntrue\n";
  fs::permissions(notExecutable, fs::perms::owner_read | fs::perms::owner_write);
  if (::geteuid() != 0) {
    EXPECT_EQ(Execute(notExecutable.string()), ExecuteFailed("Permission denied"));
  }
  // A folder is no program either, whoever runs the test.
  EXPECT_EQ(Execute(dir_.Path().string()), ExecuteFailed("Permission denied"));
}

TEST_F(ExecuteFileTest, FileOfNoExecutableFormatIsRefused) {
  const fs::path garbage = dir_.Path() / "garbage";
  WriteScript(garbage, "no program, no interpreter line\n");
  EXPECT_EQ(Execute(garbage.string()), ExecuteFailed("Exec format error"));
}

TEST_F(ExecuteFileTest, EmptyOrUnfinishedCommandLineIsTheFailureAnswer) {
  EXPECT_EQ(Execute(""), ExecuteFailed("No such file or directory"));
  EXPECT_EQ(Execute("   "), ExecuteFailed("No such file or directory"));
  EXPECT_EQ(Execute("\"\""), ExecuteFailed("No such file or directory"));
  EXPECT_EQ(Execute("/bin/true 'open"), ExecuteFailed("Invalid argument"));
}

TEST_F(ExecuteFileTest, ProgramWithoutSlashIsFoundOnPath) {
  const fs::path bin = dir_.Path() / "bin";
  fs::create_directory(bin);
  WriteScript(bin / "vorlane-test-helper", "#!/bin/sh\necho \"helper $1\" > \"$2\"\n");
  const fs::path marker = dir_.Path() / "from-path";
  const char* oldPath = std::getenv("PATH");
  ScopedEnv path("PATH", bin.string() + ":" + (oldPath != nullptr ? oldPath : "/usr/bin:/bin"));
  EXPECT_EQ(Execute("vorlane-test-helper 'a b' " + marker.string()), kStartedAnswer);
  EXPECT_EQ(WaitForMarker(marker), std::optional<std::string>("helper a b\n"));
}

TEST_F(ExecuteFileTest, ProgramRunsInItsOwnSessionWithNullStreamsAndNoInheritedDescriptors) {
  // A descriptor the program must not see, at a number no shell uses for itself.
  constexpr int kLeakFd = 77;
  const int fd = ::open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::dup2(fd, kLeakFd), kLeakFd);
  ::close(fd);
  const fs::path marker = dir_.Path() / "setup";
  const std::string script =
      "p=$$; s=$(cut -d\" \" -f6 /proc/$p/stat); i=$(readlink /proc/$p/fd/0); o=$(readlink /proc/$p/fd/2); "
      "if [ -e /proc/$p/fd/77 ]; then l=open; else l=closed; fi; echo \"$p $s $i $o $l\" > \"$0\"";
  const std::string answer = Execute("/bin/sh -c '" + script + "' " + marker.string());
  ::close(kLeakFd);
  EXPECT_EQ(answer, kStartedAnswer);
  const std::optional<std::string> text = WaitForMarker(marker);
  ASSERT_TRUE(text.has_value());
  std::istringstream fields(*text);
  std::string pid, session, in, err, leak;
  fields >> pid >> session >> in >> err >> leak;
  EXPECT_EQ(session, pid) << "the program leads a session of its own";
  EXPECT_EQ(in, "/dev/null");
  EXPECT_EQ(err, "/dev/null");
  EXPECT_EQ(leak, "closed");
}

TEST_F(ExecuteFileTest, EndedProgramLeavesNoZombie) {
  const fs::path marker = dir_.Path() / "pid";
  EXPECT_EQ(Execute("/bin/sh -c 'echo $$ > \"$0\"' " + marker.string()), kStartedAnswer);
  const std::optional<std::string> text = WaitForMarker(marker);
  ASSERT_TRUE(text.has_value());
  const fs::path proc = "/proc/" + text->substr(0, text->size() - 1);
  // Unreaped, the ended program would stay in /proc as a zombie for as long as we live.
  EXPECT_TRUE(PollUntil([&] { return !fs::exists(proc); }, 5s, 50ms)) << proc << " was not reaped";
  EXPECT_TRUE(PollUntil([] { return ZombieChildren().empty(); }, 5s, 50ms));
}

TEST_F(ExecuteFileTest, CommandLineHoldingANulIsRefusedAndNothingStarts) {
  const std::string expected = ExecuteFailed("The command line holds a NUL byte.");
  const fs::path marker = dir_.Path() / "ran";
  // Each line, cut at its NUL, would be a command that runs; whole, none may.
  const std::string lines[] = {
      "/bin/touch " + marker.string() + std::string("\0", 1) + " --more",
      "/bin/touch " + marker.string() + std::string("\0", 1),
      std::string("/bin/sh -c 'touch ") + marker.string() + "'" + std::string("\0", 1) + "junk",
  };
  LogCapture log;
  for (const std::string& line : lines) {
    EXPECT_EQ(Execute(line), expected) << line.substr(0, line.find('\0'));
  }
  EXPECT_TRUE(Contains(log.Lines(), LoggedLine(expected, kLogOutgoing)));
  // The same command without its NUL does run, so the marker's absence below means something.
  EXPECT_EQ(Execute("/bin/touch " + marker.string() + "-control"), kStartedAnswer);
  ASSERT_TRUE(PollUntil([&] { return fs::exists(marker.string() + "-control"); }, 5s, 50ms));
  EXPECT_FALSE(fs::exists(marker));
}

// ---- deletefile ----

TEST_F(DeleteFileTest, FileNameHoldingANulIsRefusedAndNothingIsDeleted) {
  const std::string expected = DeleteFailed("The file name holds a NUL byte.");
  const fs::path victim = dir_.Path() / "victim";
  std::ofstream(victim) << "data";
  const std::string nul(1, '\0');
  const std::string names[] = {
      victim.string() + nul + ".bak",
      victim.string() + nul,
      nul + victim.string(),
      (dir_.Path() / "absent").string() + nul + ".bak",
  };
  LogCapture log;
  for (const std::string& name : names) {
    EXPECT_EQ(Delete(name), expected);
    EXPECT_TRUE(fs::exists(victim));
  }
  EXPECT_TRUE(Contains(log.Lines(), LoggedLine(expected, kLogOutgoing)));
  ScopedEnv env("TMPDIR", dir_.Path().string());
  EXPECT_EQ(Delete(std::string("%tmp%victim") + nul + ".bak"), expected);
  EXPECT_TRUE(fs::exists(victim));
  EXPECT_EQ(Delete("%tmp%victim"), kDeletedAnswer);
  EXPECT_FALSE(fs::exists(victim));
}

TEST_F(DeleteFileTest, DeletesAFileAndLogsTheAnswer) {
  const fs::path file = dir_.Path() / "report.txt";
  std::ofstream(file) << "data";
  LogCapture log;
  EXPECT_EQ(Delete(file.string()), kDeletedAnswer);
  EXPECT_FALSE(fs::exists(file));
  EXPECT_TRUE(Contains(log.Lines(), LoggedLine(kDeletedAnswer, kLogOutgoing)));
}

TEST_F(DeleteFileTest, ExpandsTheTemporaryFolder) {
  ScopedEnv env("TMPDIR", dir_.Path().string());
  const fs::path file = dir_.Path() / "report.txt";
  std::ofstream(file) << "data";
  EXPECT_EQ(Delete("%tmp%report.txt"), kDeletedAnswer);
  EXPECT_FALSE(fs::exists(file));
}

TEST_F(DeleteFileTest, MissingFileIsTheFailureAnswer) {
  LogCapture log;
  const std::string expected = DeleteFailed("No such file or directory");
  EXPECT_EQ(Delete((dir_.Path() / "absent.txt").string()), expected);
  EXPECT_EQ(Delete(""), expected);
  EXPECT_TRUE(Contains(log.Lines(), LoggedLine(expected, kLogOutgoing)));
}

TEST_F(DeleteFileTest, FolderIsRefusedAndStays) {
  const fs::path folder = dir_.Path() / "keep";
  fs::create_directory(folder);
  std::ofstream(folder / "inside.txt") << "data";
  EXPECT_EQ(Delete(folder.string()), DeleteFailed("Is a directory"));
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_TRUE(fs::exists(folder / "inside.txt"));
  // Empty, it is still a folder and still refused.
  fs::remove(folder / "inside.txt");
  EXPECT_EQ(Delete(folder.string()), DeleteFailed("Is a directory"));
  EXPECT_TRUE(fs::is_directory(folder));
}

TEST_F(DeleteFileTest, UppercasePlaceholderIsTakenLiterally) {
  ScopedEnv env("TMPDIR", dir_.Path().string());
  std::ofstream(dir_.Path() / "x.txt") << "data";
  EXPECT_EQ(Delete("%TMP%x.txt"), DeleteFailed("No such file or directory"));
  EXPECT_TRUE(fs::exists(dir_.Path() / "x.txt"));
}

}  // namespace
}  // namespace vorlane::agent
