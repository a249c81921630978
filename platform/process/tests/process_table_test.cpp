#include "platform/process/process_table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "testing/poll_until.h"
#include "testing/temp_dir.h"

extern char** environ;

namespace vorlane::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::ElementsAre;

using testkit::TempDir;
using testkit::WriteFile;

std::string ReadComm(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string line;
  std::getline(in, line);
  return line;
}

bool HasArguments(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  char first = '\0';
  return in.get(first) && first != '\0';
}

// A program started by the test, ended by its pid and reaped when the test is done with it.
class Child {
 public:
  // Runs `program` with `argv0` as its argv[0] and sleeps; the sleep is bounded so that a child
  // outlives a crashed test by half a minute at most.
  Child(const fs::path& program, const std::string& argv0) {
    std::string arg0 = argv0;
    std::string seconds = "30";
    char* argv[] = {arg0.data(), seconds.data(), nullptr};
    if (::posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, environ) != 0) pid_ = -1;
  }
  ~Child() { Stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }

  // Waits (at most 5 s) until the exec is through: the kernel shows the program's command name
  // `comm` and its arguments. The command name comes a little before the arguments, and
  // posix_spawn may return in between.
  bool WaitForComm(const std::string& comm) const {
    if (pid_ <= 0) return false;
    return testkit::PollUntil([&] { return ReadComm(pid_) == comm && HasArguments(pid_); }, 5s, 10ms);
  }

  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

std::string Unique(const std::string& stem) { return stem + std::to_string(::getpid()); }

// ---- real processes on the real /proc -------------------------------------------------------

class RealProcesses : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.Path().empty()) << "no temp folder"; }

  // The sleep program started through a link named `name` (made at the first start), which makes
  // the kernel name the process so.
  std::unique_ptr<Child> Sleeper(const std::string& name) {
    const fs::path link = dir_.Path() / name;
    std::error_code error;
    if (!fs::is_symlink(link)) fs::create_symlink("/bin/sleep", link, error);
    EXPECT_FALSE(error) << error.message();
    return std::make_unique<Child>(link, link.string());
  }

  TempDir dir_{"vlzq_proc"};
};

TEST_F(RealProcesses, CountsStartedProcessesByNameAndFollowsTheirEnd) {
  const std::string name = Unique("vlzq_s");
  ASSERT_LE(name.size(), 15u);
  std::vector<std::unique_ptr<Child>> children;
  for (int i = 0; i < 3; ++i) {
    children.push_back(Sleeper(name));
    ASSERT_TRUE(children.back()->WaitForComm(name));
  }

  ProcessCount count = CountProcessInstances("", name);
  EXPECT_EQ(count.status, kProcessStatusOk);
  EXPECT_EQ(count.count, 3);

  std::string upper = name;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(CountProcessInstances("", upper).count, 3);
  EXPECT_EQ(CountProcessInstances("", name + ".exe").count, 0);
  EXPECT_EQ(CountProcessInstances("", name.substr(0, name.size() - 1)).count, 0);

  children[1]->Stop();
  count = CountProcessInstances("", name);
  EXPECT_EQ(count.status, kProcessStatusOk);
  EXPECT_EQ(count.count, 2);

  children.clear();
  EXPECT_EQ(CountProcessInstances("", name).count, 0);
}

TEST_F(RealProcesses, NameWithDotsStaysWhole) {
  const std::string name = Unique("vq.w") + ".11";
  ASSERT_LE(name.size(), 15u);
  const auto child = Sleeper(name);
  ASSERT_TRUE(child->WaitForComm(name));

  EXPECT_EQ(ProcessInstanceName("/proc/" + std::to_string(child->pid())), name);
  EXPECT_EQ(CountProcessInstances("", name).count, 1);
  EXPECT_EQ(CountProcessInstances("", Unique("vq.w")).count, 0);
  EXPECT_EQ(CountProcessInstances("", Unique("vq.w") + ".exe").count, 0);
}

TEST_F(RealProcesses, LongNameIsFoundFromArgvZero) {
  const std::string name = Unique("vlzq_long_process_name_");
  ASSERT_GT(name.size(), 15u);
  const std::string cut = name.substr(0, 15);
  const auto child = Sleeper(name);
  ASSERT_TRUE(child->WaitForComm(cut));

  EXPECT_EQ(ProcessInstanceName("/proc/" + std::to_string(child->pid())), name);
  EXPECT_EQ(CountProcessInstances("", name).count, 1);
  EXPECT_EQ(CountProcessInstances("", cut).count, 0);
}

TEST_F(RealProcesses, LongNameIsFoundFromTheProgramFileWhenArgvZeroIsOther) {
  // The exe link resolves symlinks, so the program needs a file of its own with the long name.
  const std::string name = Unique("vlzq_long_program_file_");
  const std::string cut = name.substr(0, 15);
  const fs::path program = dir_.Path() / name;
  std::error_code error;
  fs::copy_file("/bin/sleep", program, error);
  ASSERT_FALSE(error) << error.message();
  fs::permissions(program, fs::perms::owner_all, error);
  ASSERT_FALSE(error) << error.message();

  Child child(program, "unrelated_title");
  ASSERT_TRUE(child.WaitForComm(cut));

  // Our own child's exe link is readable to us whether we are root or not.
  EXPECT_EQ(ProcessInstanceName("/proc/" + std::to_string(child.pid())), name);
  EXPECT_EQ(CountProcessInstances("", name).count, 1);
}

TEST(RealProcTotal, TotalIsCountedOnceAndVisitedLast) {
  const ProcessCount total = CountProcessInstances("", "_total");
  EXPECT_EQ(total.status, kProcessStatusOk);
  EXPECT_EQ(total.count, 1);

  std::vector<std::string> names;
  ASSERT_EQ(ForEachProcessInstance("", [&](std::string_view name) { names.emplace_back(name); }), kProcessStatusOk);
  ASSERT_GE(names.size(), 2u);
  EXPECT_EQ(names.back(), kTotalInstance);
  EXPECT_EQ(std::count(names.begin(), names.end(), std::string(kTotalInstance)), 1);

  // This test program is among the instances, under its whole name although the kernel keeps
  // only "process_table_t" of it.
  const std::string self = ProcessInstanceName("/proc/self");
  EXPECT_EQ(self, "process_table_test");
  EXPECT_NE(std::find(names.begin(), names.end(), self), names.end());
}

TEST(RealProcTotal, OtherHostIsNotReachable) {
  char hostname[256] = {};
  ASSERT_EQ(::gethostname(hostname, sizeof hostname - 1), 0);
  for (const std::string& host : {std::string("othermachine"), std::string("."), std::string(hostname)}) {
    int visits = 0;
    EXPECT_EQ(ForEachProcessInstance(host, [&](std::string_view) { ++visits; }), kPdhNoMachine) << host;
    EXPECT_EQ(visits, 0) << host;
    const ProcessCount count = CountProcessInstances(host, "_Total");
    EXPECT_EQ(count.count, -1) << host;
    EXPECT_EQ(count.status, kPdhNoMachine) << host;
  }
}

// ---- fake /proc trees ------------------------------------------------------------------------

class FakeProc : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.Path().empty()) << "no temp folder"; }

  // A pid folder; each file is written only when given (as the kernel writes comm: with "\n").
  fs::path AddProcess(const std::string& pid, std::optional<std::string> comm,
                      std::optional<std::string> cmdline = std::nullopt,
                      std::optional<std::string> exeTarget = std::nullopt) {
    const fs::path pidDir = dir_.Path() / pid;
    fs::create_directories(pidDir);
    if (comm) WriteFile(pidDir / "comm", *comm + "\n");
    if (cmdline) WriteFile(pidDir / "cmdline", *cmdline);
    if (exeTarget) fs::create_symlink(*exeTarget, pidDir / "exe");
    return pidDir;
  }

  std::vector<std::string> Visit() {
    std::vector<std::string> names;
    EXPECT_EQ(ForEachProcessInstanceIn(dir_.Path(), [&](std::string_view name) { names.emplace_back(name); }),
              kProcessStatusOk);
    return names;
  }

  TempDir dir_{"vlzq_proc"};
};

TEST_F(FakeProc, OnlyAllDigitFoldersAreProcesses) {
  AddProcess("1", "init");
  AddProcess("self", "notme");
  AddProcess("12a", "notme");
  AddProcess("a12", "notme");
  AddProcess("sys", "notme");
  WriteFile(dir_.Path() / "uptime", "1.0 2.0\n");
  AddProcess("42", "worker");
  EXPECT_THAT(Visit(), ElementsAre("init", "worker", "_Total"));
}

TEST_F(FakeProc, ProcessesGoneBeforeTheirNameIsReadAreSkipped) {
  AddProcess("5", "first");
  AddProcess("6", std::nullopt);  // the folder is there, its files are not any more
  AddProcess("7", "last");
  EXPECT_THAT(Visit(), ElementsAre("first", "last", "_Total"));
  EXPECT_EQ(ProcessInstanceName(dir_.Path() / "6"), "");
  EXPECT_EQ(ProcessInstanceName(dir_.Path() / "999"), "");
}

TEST_F(FakeProc, ProcessesComeInAscendingPidOrder) {
  AddProcess("300", "p300");
  AddProcess("10", "p10");
  AddProcess("4000", "p4000");
  AddProcess("9", "p9");
  AddProcess("2", "p2");
  EXPECT_THAT(Visit(), ElementsAre("p2", "p9", "p10", "p300", "p4000", "_Total"));
}

TEST_F(FakeProc, CutNameIsCompletedFromArgvZero) {
  const std::string full = "vlzq_background_indexer";
  AddProcess("10", full.substr(0, 15), "/usr/lib/vlzq/" + full + std::string("\0--daemon\0", 10));
  EXPECT_THAT(Visit(), ElementsAre(full, "_Total"));
}

TEST_F(FakeProc, CutNameIsCompletedFromTheProgramFile) {
  const std::string full = "vlzq_background_indexer";
  AddProcess("10", full.substr(0, 15), std::string("indexer: idle\0", 14), "/opt/vlzq/bin/" + full);
  AddProcess("11", full.substr(0, 15), "", "/opt/vlzq/bin/" + full + " (deleted)");
  EXPECT_THAT(Visit(), ElementsAre(full, full, "_Total"));
}

TEST_F(FakeProc, CutNameStaysWhenNothingElseStartsWithIt) {
  const std::string cut = "vlzq_background";
  AddProcess("10", cut, std::string("/usr/bin/other_program\0-x\0", 26), "/usr/bin/other_program");
  AddProcess("11", cut);                    // a kernel thread: no cmdline text, no exe
  AddProcess("12", cut, "", "/usr/bin/vlzq");  // shorter than the cut
  EXPECT_THAT(Visit(), ElementsAre(cut, cut, cut, "_Total"));
}

TEST_F(FakeProc, NamesThatWereNotCutAreTakenAsTheyAre) {
  AddProcess("10", "python3.11", std::string("/usr/bin/python3.11-extra\0", 26));
  AddProcess("11", "kworker/0:1");
  AddProcess("12", "app.exe");
  EXPECT_THAT(Visit(), ElementsAre("python3.11", "kworker/0:1", "app.exe", "_Total"));
}

TEST_F(FakeProc, MissingOrUnreadableRootFindsNoObject) {
  int visits = 0;
  const auto count = [&](std::string_view) { ++visits; };
  EXPECT_EQ(ForEachProcessInstanceIn(dir_.Path() / "absent", count), kPdhNoObject);
  WriteFile(dir_.Path() / "plainfile", "x");
  EXPECT_EQ(ForEachProcessInstanceIn(dir_.Path() / "plainfile", count), kPdhNoObject);
  EXPECT_EQ(visits, 0);
}

TEST_F(FakeProc, EmptyTreeHasOnlyTheTotal) { EXPECT_THAT(Visit(), ElementsAre("_Total")); }

// ---- names and texts -------------------------------------------------------------------------

TEST(SameInstanceName, ComparesWholeNamesIgnoringAsciiCase) {
  EXPECT_TRUE(SameInstanceName("sleep", "SLEEP"));
  EXPECT_TRUE(SameInstanceName("_Total", "_total"));
  EXPECT_TRUE(SameInstanceName("", ""));
  EXPECT_FALSE(SameInstanceName("sleep", "sleep.exe"));
  EXPECT_FALSE(SameInstanceName("sleep", "slee"));
  EXPECT_FALSE(SameInstanceName("sleep", "sleeq"));
  EXPECT_FALSE(SameInstanceName("a[", "A{"));            // '[' and '{' differ by the case bit only
  EXPECT_FALSE(SameInstanceName("\xC4x", "\xE4x"));      // no case folding beyond ASCII
}

TEST(ProcessStatusText, WordsEachKnownStatus) {
  EXPECT_EQ(ProcessStatusText(kPdhNoMachine),
            "Unable to connect to the specified computer or the computer is offline.\r\n");
  EXPECT_EQ(ProcessStatusText(kPdhNoObject), "The specified object is not found on the system.\r\n");
  EXPECT_EQ(ProcessStatusText(kPdhMoreData),
            "There is more data to return than would fit in the supplied buffer. Allocate a larger buffer and "
            "call the function again.\r\n");
  EXPECT_EQ(ProcessStatusText(kRpcCallFailed), "The remote procedure call failed.\r\n");
  EXPECT_EQ(ProcessStatusText(5), "Access is denied.\r\n");
  EXPECT_EQ(ProcessStatusText(kProcessStatusOk), "");
  EXPECT_EQ(ProcessStatusText(12345), "");
  EXPECT_EQ(ProcessStatusText(0xC0000BB9), "");
}

}  // namespace
}  // namespace vorlane::platform
