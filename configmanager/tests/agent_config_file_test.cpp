#include "configmanager/agent_config_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "configmanager/tests/read_only_file.h"
#include "configmanager/texts.h"
#include "testing/temp_dir.h"

namespace vorlane::ostmere {
namespace {

using testkit::ReadFile;
using testkit::TempDir;

constexpr const char* kSample =
    "; agent configuration\r\n"
    "[GeneralInfo]\r\n"
    "Protocol=Telnet\r\n"
    "Port=2323\r\n"
    "BindIP=127.0.0.1\r\n"
    "\r\n"
    "[Operators]\r\n"
    "UserName=monitor\r\n"
    "Password=stored\r\n"
    "Range=10.0.0.1-10.0.0.9\r\n"
    "[Night shift]\r\n"
    "UserName=owl\r\n";

class OstmereConfigFileTest : public ::testing::Test {
 protected:
  TempDir dir_{"ostmere-file"};
  const cipher::PasswordCipher cipher_;
};

TEST_F(OstmereConfigFileTest, OpenOrCreateMakesAMissingFileWithTheOwnersRightsOnly) {
  const auto given = dir_.Path() / "sub" / ".." / "AgentConfig.INI";
  std::filesystem::create_directory(dir_ / "sub");
  const auto full = AgentConfigFile::OpenOrCreate(given);
  EXPECT_EQ(full, dir_.Path() / "AgentConfig.INI");
  struct stat info {};
  ASSERT_EQ(::stat(full.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(info.st_size, 0);
}

TEST_F(OstmereConfigFileTest, OpenOrCreateKeepsAnExistingFileAndAnUnopenablePath) {
  const auto existing = dir_.WriteFile("AgentConfig.INI", kSample);
  EXPECT_EQ(AgentConfigFile::OpenOrCreate(existing), existing);
  EXPECT_EQ(ReadFile(existing), kSample);

  const std::filesystem::path unopenable = dir_.Path() / "missing" / "AgentConfig.INI";
  EXPECT_EQ(AgentConfigFile::OpenOrCreate(unopenable), unopenable);
  const AgentConfigFile file(unopenable);
  const GeneralFields general = file.ReadGeneral();
  EXPECT_EQ(general.protocolIndex, 1);
  EXPECT_EQ(general.port, "");
  EXPECT_TRUE(file.UserSections().empty());
}

TEST_F(OstmereConfigFileTest, ReadsTheGeneralSettingsAsTheDialogShowsThem) {
  struct Case {
    const char* text;
    int protocolIndex;
    const char* port;
  };
  const Case cases[] = {
      {"[GeneralInfo]\nProtocol=Telnet\nPort=23\n", 0, "23"},
      {"[generalinfo]\nprotocol=TELNET\nport=2323\n", 0, "2323"},
      {"[GeneralInfo]\nProtocol=SSH\nPort=22\n", 1, "22"},
      {"[GeneralInfo]\nProtocol=Telnetx\n", 1, ""},
      {"[GeneralInfo]\nPort=-1\n", 1, ""},
      {"", 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const AgentConfigFile file(dir_.WriteFile("AgentConfig.INI", c.text));
    const GeneralFields general = file.ReadGeneral();
    EXPECT_EQ(general.protocolIndex, c.protocolIndex);
    EXPECT_EQ(general.port, c.port);
  }
}

TEST_F(OstmereConfigFileTest, ListsEverySectionButTheGeneralOneInFileOrder) {
  const AgentConfigFile file(dir_.WriteFile("AgentConfig.INI", std::string("[Zeta]\n[GENERALINFO]\n") + kSample));
  EXPECT_EQ(file.UserSections(), (std::vector<std::string>{"Zeta", "Operators", "Night shift"}));
  EXPECT_TRUE(file.HasUser("operators"));
  EXPECT_FALSE(file.HasUser("GeneralInfo"));
  EXPECT_FALSE(file.HasUser("Nobody"));
}

TEST_F(OstmereConfigFileTest, WritesAUserTheAgentCanRead) {
  const AgentConfigFile file(dir_.WriteFile("AgentConfig.INI", kSample));
  ASSERT_TRUE(file.WriteUser({"Admins", "192.168.1.1", "root", "abc"}, cipher_));
  const std::string text = ReadFile(file.Path());
  EXPECT_NE(text.find("[Admins]\r\nRange=192.168.1.1\r\nUserName=root\r\nPassword="), std::string::npos) << text;
  const auto stored = text.substr(text.find("Password=", text.find("[Admins]")) + 9, 24);
  EXPECT_EQ(stored.back(), '=');
  EXPECT_EQ(cipher_.DecipherPassword(stored), "abc");

  const UserFields read = file.ReadUser("admins", cipher_);
  EXPECT_EQ(read.range, "192.168.1.1");
  EXPECT_EQ(read.userName, "root");
  EXPECT_EQ(read.password, "abc");
}

TEST_F(OstmereConfigFileTest, WritingUnderANewNameLeavesTheOldSection) {
  const AgentConfigFile file(dir_.WriteFile("AgentConfig.INI", kSample));
  UserFields user = file.ReadUser("Operators", cipher_);
  user.type = "Operators 2";
  user.password = "pw";
  ASSERT_TRUE(file.WriteUser(user, cipher_));
  EXPECT_EQ(file.UserSections(), (std::vector<std::string>{"Operators", "Night shift", "Operators 2"}));
  EXPECT_EQ(file.ReadUser("Operators", cipher_).userName, "monitor");
  EXPECT_EQ(file.ReadUser("Operators 2", cipher_).userName, "monitor");
}

TEST_F(OstmereConfigFileTest, WritingTheGeneralSettingsTouchesNothingElse) {
  const AgentConfigFile file(dir_.WriteFile("AgentConfig.INI", kSample));
  ASSERT_TRUE(file.WriteGeneral({1, "0022"}));
  std::string expected = kSample;
  expected.replace(expected.find("Protocol=Telnet"), 15, "Protocol=SSH");
  expected.replace(expected.find("Port=2323"), 9, "Port=22");
  EXPECT_EQ(ReadFile(file.Path()), expected);
}

TEST_F(OstmereConfigFileTest, DeletesAWholeSection) {
  const AgentConfigFile file(dir_.WriteFile("AgentConfig.INI", kSample));
  ASSERT_TRUE(file.DeleteUser("operators"));
  EXPECT_EQ(file.UserSections(), (std::vector<std::string>{"Night shift"}));
  EXPECT_EQ(ReadFile(file.Path()).find("monitor"), std::string::npos);
}

TEST_F(OstmereConfigFileTest, FailedWritesAreReportedWithTheFileAndTheReason) {
  const auto path = dir_.WriteFile("AgentConfig.INI", kSample);
  {
    const fixture::ReadOnlyFile readOnly(path);
    if (!readOnly.Active()) GTEST_SKIP() << "this file system cannot make a file read-only for root";
    const AgentConfigFile file(path);
    const Status general = file.WriteGeneral({1, "22"});
    ASSERT_FALSE(general.ok());
    const std::string message = WriteFailureMessage(path, general.error());
    EXPECT_NE(message.find(path.string()), std::string::npos) << message;
    EXPECT_FALSE(file.WriteUser({"Admins", "", "root", "abc"}, cipher_).ok());
    EXPECT_FALSE(file.DeleteUser("Operators").ok());
  }
  EXPECT_EQ(ReadFile(path), kSample);

  const AgentConfigFile vanished(dir_.Path() / "gone" / "AgentConfig.INI");
  const Status written = vanished.WriteUser({"Admins", "", "root", "abc"}, cipher_);
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(WriteFailureMessage(vanished.Path(), written.error()),
            "The changes could not be saved to \"" + vanished.Path().string() + "\":\nNo such file or directory");
}

TEST_F(OstmereConfigFileTest, NamesTheFileCannotHoldAreReportedAsSuch) {
  const AgentConfigFile file(dir_.WriteFile("AgentConfig.INI", kSample));
  const Status written = file.WriteUser({"Ops]", "", "root", "abc"}, cipher_);
  ASSERT_FALSE(written.ok());
  EXPECT_NE(WriteFailureMessage(file.Path(), written.error()).find("cannot hold"), std::string::npos);
  EXPECT_EQ(ReadFile(file.Path()), kSample);
}

}  // namespace
}  // namespace vorlane::ostmere
