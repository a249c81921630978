// The command line as a script uses it: the real program, run to its end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cipher/password.h"
#include "configmanager/command_line.h"
#include "configmanager/tests/read_only_file.h"
#include "configmanager/texts.h"
#include "testing/agent_process.h"
#include "testing/run_program.h"
#include "testing/telnet_client.h"
#include "testing/temp_dir.h"

namespace vorlane::ostmere {
namespace {

using testkit::ReadFile;
using testkit::RunProgram;
using testkit::TempDir;

constexpr const char* kSample =
    "[GeneralInfo]\n"
    "Protocol=SSH\n"
    "Port=2222\n"
    "[Operators]\n"
    "UserName=monitor\n"
    "Password=6zW1U4n6K8+Kq3+2OdK2kwA=\n"
    "Range=\n";

testkit::ProgramRun Ostmere(std::vector<std::string> args, std::string_view input = "") {
  args.insert(args.begin(), OSTMERE_BINARY);
  // No display: the command line must not need one.
  return RunProgram(args, input, {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="});
}

class OstmereCommandLineTest : public ::testing::Test {
 protected:
  std::string Sample() { return dir_.WriteFile("AgentConfig.INI", kSample).string(); }
  TempDir dir_{"ostmere-cli"};
};

TEST_F(OstmereCommandLineTest, HelpAndWrongUse) {
  const auto help = Ostmere({"--help"});
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_NE(help.out.find("--set-user FILE SECTION USER [RANGE]"), std::string::npos) << help.out;

  const std::vector<std::vector<std::string>> wrong = {
      {"--list"}, {"--lists", "x"}, {"--set-general", "x", "SSH"}, {"--set-user", "x", "s"},
      {"--delete-user", "x"}, {"--help", "x"}, {"--set-general", "x", "FTP", "21"},
  };
  for (const auto& args : wrong) {
    SCOPED_TRACE(args[0] + " with " + std::to_string(args.size()) + " words");
    const auto run = Ostmere(args);
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_FALSE(run.err.empty());
  }
  EXPECT_FALSE(std::filesystem::exists("x"));
}

TEST_F(OstmereCommandLineTest, WithoutADisplayThePlainFormPointsToTheCommandLine) {
  const auto run = Ostmere({});
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_NE(run.err.find("--help"), std::string::npos) << run.err;
}

TEST(OstmereDialogPathTest, TheWholeCommandLineIsThePath) {
  EXPECT_EQ(DialogPath({}), "");
  EXPECT_EQ(DialogPath({"AgentConfig.INI"}), "AgentConfig.INI");
  EXPECT_EQ(DialogPath({"/srv/agent", "one/My", "Config.ini"}), "/srv/agent one/My Config.ini");
  EXPECT_FALSE(IsCommandLine({"/srv/agent one/AgentConfig.INI"}));
  EXPECT_TRUE(IsCommandLine({"--list", "x"}));
}

TEST_F(OstmereCommandLineTest, ThePlainFormOpensTheDialogOnAPathWithBlanks) {
  const auto file = dir_ / "agent config" / "My Agent.INI";
  std::filesystem::create_directory(dir_ / "agent config");
  const auto run = testkit::RunProgramUntil({OSTMERE_BINARY, (dir_ / "agent").string(), "config/My", "Agent.INI"},
                                            [&] { return std::filesystem::exists(file); }, {"QT_QPA_PLATFORM=offscreen"});
  EXPECT_TRUE(run.stopped) << run.err;
  EXPECT_TRUE(std::filesystem::exists(file));
}

TEST_F(OstmereCommandLineTest, ListsSettingsAndUsersButNoPasswords) {
  const auto run = Ostmere({"--list", Sample()});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.out, "[GeneralInfo]\nProtocol=SSH\nPort=2222\n[Operators]\nUserName=monitor\nRange=\n");

  const auto missing = Ostmere({"--list", (dir_ / "none.ini").string()});
  EXPECT_EQ(missing.exitStatus, 1);
  EXPECT_NE(missing.err.find("none.ini"), std::string::npos) << missing.err;
}

TEST_F(OstmereCommandLineTest, SetGeneralChecksThePortLikeTheDialog) {
  const std::string file = Sample();
  for (const char* port : {"0", "65536", "", "22x", "-1"}) {
    SCOPED_TRACE(port);
    const auto run = Ostmere({"--set-general", file, "Telnet", port});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err, std::string(kBadPort) + "\n");
    EXPECT_EQ(ReadFile(file), kSample);
  }
  const auto run = Ostmere({"--set-general", file, "telnet", "65535"});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  std::string expected = kSample;
  expected.replace(expected.find("Protocol=SSH\nPort=2222"), 22, "Protocol=Telnet\nPort=65535");
  EXPECT_EQ(ReadFile(file), expected);
}

TEST_F(OstmereCommandLineTest, SetUserRefusesWhatTheDialogRefuses) {
  const std::string file = Sample();
  struct Case {
    std::vector<std::string> args;
    const char* password;
    std::string_view message;
  };
  const Case cases[] = {
      {{"", "joe"}, "pw\n", kNoType},
      {{"Ops", ""}, "pw\n", kNoUserName},
      {{"Ops", "joe"}, "", kNoPassword},
      {{"Ops", "joe"}, "\n", kNoPassword},
      {{"Ops", "joe", "10.0.0.256"}, "pw\n", kBadRange},
      {{"Ops", "joe", "10.0.0.1 - 10.0.0.9"}, "pw\n", kBadRange},
      {{"GeneralInfo", "joe"}, "pw\n", kReservedType},
      {{"Ops", "joe"}, "seventeen-letters\n", kLongPassword},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--set-user", file};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(c.message);
    const auto run = Ostmere(args, c.password);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err, std::string(c.message) + "\n");
    EXPECT_EQ(ReadFile(file), kSample);
  }
}

TEST_F(OstmereCommandLineTest, SetUserTakesThePasswordFromStandardInput) {
  const std::string file = Sample();
  const auto run = Ostmere({"--set-user", file, "Night shift", "owl", "10.0.0.1-10.0.0.9"}, "s3cret\r\nignored\n");
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  const std::string text = ReadFile(file);
  EXPECT_EQ(text.substr(0, std::string(kSample).size()), kSample);
  const std::string tail = text.substr(std::string(kSample).size());
  const cipher::PasswordCipher cipher;
  EXPECT_EQ(tail, "[Night shift]\nRange=10.0.0.1-10.0.0.9\nUserName=owl\nPassword=" + cipher.EncipherPassword("s3cret") +
                      "\n");

  const auto list = Ostmere({"--list", file});
  EXPECT_NE(list.out.find("[Night shift]\nUserName=owl\nRange=10.0.0.1-10.0.0.9\n"), std::string::npos) << list.out;
  EXPECT_EQ(list.out.find("s3cret"), std::string::npos);
  EXPECT_EQ(list.out.find("Password"), std::string::npos);
}

TEST_F(OstmereCommandLineTest, SetUserCreatesAMissingFileForItsOwnerAlone) {
  const auto file = dir_ / "new.INI";
  const auto run = Ostmere({"--set-user", file.string(), "Ops", "joe"}, "pw\n");
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST_F(OstmereCommandLineTest, DeleteUser) {
  const std::string file = Sample();
  const auto reserved = Ostmere({"--delete-user", file, "generalinfo"});
  EXPECT_EQ(reserved.exitStatus, 1);
  EXPECT_EQ(reserved.err, std::string(kReservedType) + "\n");
  const auto missing = Ostmere({"--delete-user", file, "Nobody"});
  EXPECT_EQ(missing.exitStatus, 1);
  EXPECT_EQ(missing.err, "There is no user/group \"Nobody\" in \"" + file + "\"!\n");
  EXPECT_EQ(ReadFile(file), kSample);

  const auto run = Ostmere({"--delete-user", file, "OPERATORS"});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(ReadFile(file), "[GeneralInfo]\nProtocol=SSH\nPort=2222\n");
}

TEST_F(OstmereCommandLineTest, AFailedWriteIsAFailure) {
  const std::string file = Sample();
  const fixture::ReadOnlyFile readOnly(file);
  if (!readOnly.Active()) GTEST_SKIP() << "this file system cannot make a file read-only for root";
  const std::vector<std::vector<std::string>> writes = {
      {"--set-general", file, "SSH", "22"}, {"--set-user", file, "Ops", "joe"}, {"--delete-user", file, "Operators"}};
  for (const auto& args : writes) {
    SCOPED_TRACE(args[0]);
    const auto run = Ostmere(args, "pw\n");
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err.rfind("The changes could not be saved to \"" + file + "\":\n", 0), 0u) << run.err;
  }
  EXPECT_EQ(ReadFile(file), kSample);
}

TEST(OstmereCommandLineEndToEndTest, AFileWrittenByTheCommandLineLogsAUserInOverTelnet) {
  testkit::AgentProcess agent;
  const std::string file = agent.ConfigFile().string();
  const int port = testkit::FreePort();
  ASSERT_EQ(Ostmere({"--set-general", file, "Telnet", std::to_string(port)}).exitStatus, 0);
  ASSERT_EQ(Ostmere({"--set-user", file, "Operators", "monitor", "127.0.0.1"}, "pa55word\n").exitStatus, 0);
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(agent.WaitForLog("Server started!")) << agent.Log();

  testkit::TelnetClient client(port);
  ASSERT_TRUE(client.Connected());
  EXPECT_NE(client.Login("MONITOR", "pa55word"), "") << agent.Log();
  testkit::TelnetClient wrong(port);
  ASSERT_TRUE(wrong.Connected());
  EXPECT_EQ(wrong.Login("monitor", "pa55wore"), "");
}

}  // namespace
}  // namespace vorlane::ostmere
