#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/profile/profile.h"
#include "platform/profile/tests/profile_test_util.h"

namespace vorlane::profile {
namespace {

class ProfileConcurrency : public ::testing::Test {
 protected:
  testing::TempDir dir_{"vorlane-profile"};
  std::filesystem::path file_ = dir_.Path() / "agent.ini";
};

// Readers never see a half-written file: the marker at the very end is always there and the
// large value in front of it is always one of the values written whole.
TEST_F(ProfileConcurrency, ReadersSeeOldOrNewFileNeverAMix) {
  const std::string first(32 * 1024, 'a');
  const std::string second(24 * 1024, 'b');
  testing::WriteText(file_, "[data]\nblob=" + first + "\n[end]\nmarker=present\n");

  constexpr int kWrites = 1000;
  constexpr int kMaxReads = 1000000;
  std::atomic<bool> writerDone{false};
  std::atomic<int> writeFailures{0};
  std::thread writer([&] {
    for (int i = 0; i < kWrites; ++i) {
      if (!WriteString(file_, "data", "blob", i % 2 == 0 ? second : first).ok()) ++writeFailures;
    }
    writerDone = true;
  });

  int reads = 0;
  int torn = 0;
  for (; reads < kMaxReads && !writerDone; ++reads) {
    if (GetString(file_, "end", "marker", "", 64) != "present") ++torn;
    std::string blob = GetString(file_, "data", "blob", "", 64 * 1024);
    if (blob != first && blob != second) ++torn;
  }
  writer.join();

  EXPECT_EQ(writeFailures, 0);
  EXPECT_EQ(torn, 0) << "of " << reads << " reads";
  EXPECT_GT(reads, 0);
  EXPECT_EQ(GetString(file_, "data", "blob", "", 64 * 1024), first);  // the last write
}

// Two writers adding distinct keys: each read-modify-write sees the other's result.
TEST_F(ProfileConcurrency, ConcurrentThreadsLoseNoUpdate) {
  constexpr int kPerThread = 200;
  std::atomic<int> failures{0};
  auto writeKeys = [&](char prefix) {
    for (int i = 0; i < kPerThread; ++i) {
      if (!WriteString(file_, "keys", std::string(1, prefix) + std::to_string(i), std::to_string(i)).ok()) ++failures;
    }
  };
  std::thread a(writeKeys, 'a');
  std::thread b(writeKeys, 'b');
  a.join();
  b.join();

  EXPECT_EQ(failures, 0);
  auto pairs = GetSection(file_, "keys", 1 << 20);
  EXPECT_EQ(pairs.size(), 2u * kPerThread);
  for (int i = 0; i < kPerThread; ++i) {
    EXPECT_EQ(GetInt(file_, "keys", "a" + std::to_string(i), -1), i);
    EXPECT_EQ(GetInt(file_, "keys", "b" + std::to_string(i), -1), i);
  }
}

// The same between processes, which share no memory and only meet in the file lock.
TEST_F(ProfileConcurrency, ConcurrentProcessesLoseNoUpdate) {
  constexpr int kPerProcess = 100;
  auto writeKeys = [&](char prefix) {
    int failures = 0;
    for (int i = 0; i < kPerProcess; ++i) {
      if (!WriteString(file_, "keys", std::string(1, prefix) + std::to_string(i), "x").ok()) ++failures;
    }
    return failures;
  };
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(writeKeys('c') == 0 ? 0 : 1);
  int parentFailures = writeKeys('p');
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(parentFailures, 0);
  EXPECT_EQ(GetSection(file_, "keys", 1 << 20).size(), 2u * kPerProcess);
}

}  // namespace
}  // namespace vorlane::profile
