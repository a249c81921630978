#include "agent/config/agent_config.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

#include "testing/temp_dir.h"

namespace vorlane::agent {
namespace {

class AgentConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.empty()); }

  void Write(const std::string& text) { testkit::WriteFile(file_, text); }

  testkit::TempDir temp_{"vorlane-config"};
  std::filesystem::path dir_ = temp_.Path();
  std::filesystem::path file_ = LocateConfigFiles(dir_).agentConfig;
};

TEST_F(AgentConfigTest, FilesLieInTheConfigurationFolder) {
  ConfigPaths paths = LocateConfigFiles(dir_);
  EXPECT_EQ(paths.agentConfig, dir_ / "AgentConfig.INI");
  EXPECT_EQ(paths.tcpConfig, dir_ / "TCPConfig.INI");
}

TEST_F(AgentConfigTest, ConfigDirectoryFollowsTheEnvironmentElseTheExecutable) {
  ::setenv("VORLANE_CONFIG_DIR", dir_.c_str(), 1);
  EXPECT_EQ(ConfigDirectory(), dir_);
  ::setenv("VORLANE_CONFIG_DIR", "", 1);
  EXPECT_EQ(ConfigDirectory(), std::filesystem::read_symlink("/proc/self/exe").parent_path());
  ::unsetenv("VORLANE_CONFIG_DIR");
  EXPECT_EQ(ConfigDirectory(), std::filesystem::read_symlink("/proc/self/exe").parent_path());
}

TEST_F(AgentConfigTest, GeneralSettingsAcceptBothProtocolsWithoutCase) {
  Write("[GeneralInfo]\r\nProtocol=telnet\r\nPort=23\r\n");
  auto telnet = ReadGeneralSettings(file_);
  ASSERT_TRUE(telnet);
  EXPECT_TRUE(telnet.value().isTelnet);
  EXPECT_EQ(telnet.value().port, 23);
  EXPECT_EQ(telnet.value().bindIp, "");

  Write("[generalinfo]\nprotocol=SsH\nport=22\nbindip=127.0.0.1\n");
  auto ssh = ReadGeneralSettings(file_);
  ASSERT_TRUE(ssh);
  EXPECT_FALSE(ssh.value().isTelnet);
  EXPECT_EQ(ssh.value().port, 22);
  EXPECT_EQ(ssh.value().bindIp, "127.0.0.1");
}

TEST_F(AgentConfigTest, HttpsAuthoritiesAreTheSystemStoreUnlessNamed) {
  Write("[GeneralInfo]\nProtocol=SSH\nPort=22\n");
  EXPECT_EQ(ReadGeneralSettings(file_).value().https.caFile, "");
  EXPECT_EQ(ReadGeneralSettings(file_).value().https.caPath, "");
  Write("[GeneralInfo]\nProtocol=SSH\nPort=22\nhttpscafile=/etc/vorlane/ca.pem\nHttpsCaPath=/etc/vorlane/ca.d\n");
  EXPECT_EQ(ReadGeneralSettings(file_).value().https.caFile, "/etc/vorlane/ca.pem");
  EXPECT_EQ(ReadGeneralSettings(file_).value().https.caPath, "/etc/vorlane/ca.d");
}

TEST_F(AgentConfigTest, GeneralSettingsFailWithoutUsableProtocolOrPort) {
  // Each of these is logged as unreadable settings.
  auto cannotRead = [&] {
    auto settings = ReadGeneralSettings(file_);
    return !settings && settings.error().message == "Could not read from INI file!";
  };
  EXPECT_TRUE(cannotRead()) << "missing file";
  Write("[GeneralInfo]\nProtocol=ssh2\nPort=22\n");
  EXPECT_TRUE(cannotRead());
  Write("[GeneralInfo]\nPort=22\n");
  EXPECT_TRUE(cannotRead());
  Write("[GeneralInfo]\nProtocol=SSH\n");
  EXPECT_TRUE(cannotRead());
  Write("[GeneralInfo]\nProtocol=SSH\nPort=\n");
  EXPECT_TRUE(cannotRead());
  Write("[GeneralInfo]\nProtocol=SSH\nPort=-1\n");
  EXPECT_FALSE(ReadGeneralSettings(file_)) << "not a port, refused as such below";
  // Protocol is read with room for 9 characters: a longer value is cut and no longer matches.
  Write("[GeneralInfo]\nProtocol=Telnet1234\nPort=22\n");
  EXPECT_TRUE(cannotRead());
}

TEST_F(AgentConfigTest, PortIsAWholeNumberFrom1To65535) {
  struct Case {
    std::string_view text;
    std::optional<int> port;
  };
  constexpr std::optional<int> kNone;
  const Case cases[] = {
      {"1", 1},         {"22", 22},      {"65535", 65535}, {"08080", 8080},
      {"0", kNone},     {"65536", kNone}, {"70000", kNone}, {"99999999999999999999", kNone},
      {"-5", kNone},    {"+22", kNone},   {"abc", kNone},   {"12abc", kNone},
      {"22 ", kNone},   {" 22", kNone},   {"2.5", kNone},   {"0x50", kNone},
      {"", kNone},
  };
  for (const Case& c : cases) EXPECT_EQ(ParsePort(c.text), c.port) << '"' << c.text << '"';
}

TEST_F(AgentConfigTest, SettingsWithAPortThatIsNoPortAreRefusedWithTheValue) {
  for (const std::string value : {"0", "abc", "-5", "70000", "12abc", "-1"}) {
    Write("[GeneralInfo]\nProtocol=SSH\nPort=" + value + "\n");
    auto settings = ReadGeneralSettings(file_);
    ASSERT_FALSE(settings) << value;
    EXPECT_EQ(settings.error().message, "Port must be a number from 1 to 65535, not \"" + value + "\".");
    EXPECT_EQ(settings.error().message, BadPortMessage(value));
  }
  Write("[GeneralInfo]\nProtocol=SSH\nPort=\"443\"\n");
  ASSERT_TRUE(ReadGeneralSettings(file_)) << "quotes around the value are the file's, not the port's";
  EXPECT_EQ(ReadGeneralSettings(file_).value().port, 443);
}

TEST_F(AgentConfigTest, MaxConcurrentChecksIsOptionalAndBounded) {
  Write("[GeneralInfo]\nProtocol=SSH\nPort=22\n");
  ASSERT_TRUE(ReadGeneralSettings(file_));
  EXPECT_EQ(ReadGeneralSettings(file_).value().maxConcurrentChecks, 32u);
  for (const auto& [value, expected] : std::vector<std::pair<std::string, size_t>>{{"1", 1}, {"8", 8}, {"1024", 1024}}) {
    Write("[GeneralInfo]\nProtocol=SSH\nPort=22\nMaxConcurrentChecks=" + value + "\n");
    ASSERT_TRUE(ReadGeneralSettings(file_)) << value;
    EXPECT_EQ(ReadGeneralSettings(file_).value().maxConcurrentChecks, expected);
  }
  for (const std::string value : {"0", "1025", "-1", "many", "8x", "99999999999"}) {
    Write("[GeneralInfo]\nProtocol=SSH\nPort=22\nMaxConcurrentChecks=" + value + "\n");
    auto settings = ReadGeneralSettings(file_);
    ASSERT_FALSE(settings) << value;
    EXPECT_EQ(settings.error().message, "MaxConcurrentChecks must be a number from 1 to 1024, not \"" + value + "\".");
  }
}

TEST_F(AgentConfigTest, UserEntriesComeInFileOrderWithFieldsCutTo34) {
  const std::string longName(40, 'n');
  Write("[GeneralInfo]\nProtocol=SSH\nPort=22\n"
        "[Operators]\nUserName=monitor\nPassword=ABCDEFGHIJKLMNOPQRSTUVW=\nRange=192.168.100.1-192.168.100.25\n"
        "[Long]\nUserName=" + longName + "\n");
  std::vector<UserEntry> entries = ReadUserEntries(file_);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].section, "GeneralInfo");
  EXPECT_EQ(entries[0].userName, "");
  EXPECT_EQ(entries[1].section, "Operators");
  EXPECT_EQ(entries[1].userName, "monitor");
  EXPECT_EQ(entries[1].password, "ABCDEFGHIJKLMNOPQRSTUVW=");
  EXPECT_EQ(entries[1].range, "192.168.100.1-192.168.100.25");
  EXPECT_EQ(entries[2].userName, longName.substr(0, 34));
  EXPECT_EQ(entries[2].range, "");
}

TEST_F(AgentConfigTest, FindUserTakesTheFirstMatchIgnoringCase) {
  Write("[GeneralInfo]\nProtocol=SSH\nPort=22\n"
        "[First]\nUserName=admin\nPassword=one\n"
        "[Second]\nUserName=ADMIN\nPassword=two\nRange=10.0.0.1\n");
  auto entry = FindUserEntry(file_, "Admin");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->section, "First");
  EXPECT_EQ(entry->password, "one");
  EXPECT_EQ(entry->range, "");
  EXPECT_FALSE(FindUserEntry(file_, "nobody"));
}

TEST_F(AgentConfigTest, OnlyGeneralInfoMeansNoUsers) {
  Write("[GeneralInfo]\nProtocol=SSH\nPort=22\n");
  EXPECT_TRUE(ReadGeneralSettings(file_));
  EXPECT_FALSE(FindUserEntry(file_, "monitor"));
  std::filesystem::remove(file_);
  EXPECT_TRUE(ReadUserEntries(file_).empty());
}

}  // namespace
}  // namespace vorlane::agent
