// The regsvr program, run as a real process against a real component, a shared library that
// is no component and files that are no library.
#include <gtest/gtest.h>

#include <thread>

#include "platform/com/registry.h"
#include "platform/com/tests/fixture_component/counter.h"
#include "platform/com/tests/fixture_component/test_support.h"
#include "platform/profile/profile.h"

namespace vorlane::com {
namespace {

using testing::ProgramResult;
using testing::ReadFile;
using testing::RunProgram;
using testing::ScopedEnv;
using testing::TempDir;

const std::filesystem::path kComponent = std::filesystem::canonical(VORLANE_TEST_COMPONENT);
const std::string kServerKey = "CLSID\\" + FormatGuidBraced(testing::kCounterClsid) + "\\InprocServer32";

bool Contains(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

class Regsvr : public ::testing::Test {
 protected:
  TempDir dir_;
  std::filesystem::path file_ = dir_ / "classes.ini";
  ScopedEnv env_{"VORLANE_CLASS_REGISTRY", file_.string()};
  ClassRegistry registry_{file_};
};

TEST_F(Regsvr, RegistersAndUnregistersInTheSelectedRegistry) {
  ProgramResult run = RunProgram({VORLANE_TEST_REGSVR, kComponent.string()});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.output, "regsvr: registered " + kComponent.string() + "\n");
  EXPECT_EQ(registry_.GetValue(kServerKey, ""), kComponent.string());
  EXPECT_EQ(registry_.GetValue("VorlaneTest.Counter.1", ""), testing::kCounterDescription);

  // Registering twice leaves the same file.
  std::string once = ReadFile(file_);
  ASSERT_EQ(RunProgram({VORLANE_TEST_REGSVR, kComponent.string()}).exitCode, 0);
  EXPECT_EQ(ReadFile(file_), once);

  run = RunProgram({VORLANE_TEST_REGSVR, "-u", kComponent.string()});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.output, "regsvr: unregistered " + kComponent.string() + "\n");
  EXPECT_FALSE(registry_.KeyExists(kServerKey));
  EXPECT_FALSE(registry_.KeyExists("VorlaneTest.Counter"));
  EXPECT_TRUE(registry_.KeyExists("CLSID"));
}

// A parallel build registers several components at once.
TEST_F(Regsvr, RegistrationsRunningAtOnceKeepEachOthersEntries) {
  const std::filesystem::path other = std::filesystem::canonical(VORLANE_TEST_OTHER_COMPONENT);
  for (int round = 0; round < 10; ++round) {
    std::filesystem::remove(file_);
    ProgramResult first, second;
    std::thread a([&] { first = RunProgram({VORLANE_TEST_REGSVR, kComponent.string()}); });
    std::thread b([&] { second = RunProgram({VORLANE_TEST_REGSVR, other.string()}); });
    a.join();
    b.join();
    ASSERT_EQ(first.exitCode, 0) << first.output;
    ASSERT_EQ(second.exitCode, 0) << second.output;
    ClassRegistry registry(file_);
    ASSERT_EQ(registry.GetValue(kServerKey, ""), kComponent.string()) << "round " << round;
    ASSERT_TRUE(Contains(ReadFile(file_), other.string())) << "round " << round;
  }
}

TEST_F(Regsvr, RegistersTheAbsolutePathOfARelativeArgument) {
  ProgramResult run = RunProgram({VORLANE_TEST_REGSVR, "./" + kComponent.filename().string()}, kComponent.parent_path());
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(registry_.GetValue(kServerKey, ""), kComponent.string());
}

TEST_F(Regsvr, MissingModuleFailsWithDllNotFound) {
  ProgramResult run = RunProgram({VORLANE_TEST_REGSVR, (dir_ / "nothing.so").string()});
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_TRUE(Contains(run.output, "cannot find")) << run.output;
  EXPECT_TRUE(Contains(run.output, "0x800401F8")) << run.output;
  EXPECT_FALSE(std::filesystem::exists(file_));
}

TEST_F(Regsvr, FileThatIsNoLibraryFailsWithDllNotFound) {
  const std::filesystem::path text = dir_ / "text.so";
  ASSERT_TRUE(profile::WriteString(text, "just", "some", "text").ok());
  ProgramResult run = RunProgram({VORLANE_TEST_REGSVR, text.string()});
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_TRUE(Contains(run.output, "cannot load")) << run.output;
  EXPECT_TRUE(Contains(run.output, "0x800401F8")) << run.output;
}

TEST_F(Regsvr, LibraryThatIsNoComponentFailsWithErrorInDll) {
  for (const char* option : {"", "-u"}) {
    std::vector<std::string> args = {VORLANE_TEST_REGSVR};
    if (*option) args.push_back(option);
    args.push_back(VORLANE_TEST_NOT_COMPONENT);
    ProgramResult run = RunProgram(args);
    EXPECT_EQ(run.exitCode, 4) << option;
    EXPECT_TRUE(Contains(run.output, *option ? "DllUnregisterServer" : "DllRegisterServer")) << run.output;
    EXPECT_TRUE(Contains(run.output, "0x800401F9")) << run.output;
  }
}

TEST_F(Regsvr, FailedRegistrationReportsTheModulesHresult) {
  // A registry in a folder that does not exist cannot be written.
  ScopedEnv unwritable("VORLANE_CLASS_REGISTRY", (dir_ / "no" / "such" / "folder.ini").string());
  ProgramResult run = RunProgram({VORLANE_TEST_REGSVR, kComponent.string()});
  EXPECT_EQ(run.exitCode, 5);
  EXPECT_TRUE(Contains(run.output, "DllRegisterServer")) << run.output;
  EXPECT_TRUE(Contains(run.output, "0x80040151")) << run.output;
}

TEST_F(Regsvr, WrongArgumentsPrintUsage) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{VORLANE_TEST_REGSVR}, {VORLANE_TEST_REGSVR, "-u"}, {VORLANE_TEST_REGSVR, "-x", "m.so"},
        {VORLANE_TEST_REGSVR, "a.so", "b.so"}, {VORLANE_TEST_REGSVR, "-u", "-u", "m.so"}}) {
    ProgramResult run = RunProgram(args);
    EXPECT_EQ(run.exitCode, 2) << args.size();
    EXPECT_TRUE(Contains(run.output, "usage: regsvr [-u] MODULE")) << run.output;
  }
  EXPECT_FALSE(std::filesystem::exists(file_));
}

}  // namespace
}  // namespace vorlane::com
