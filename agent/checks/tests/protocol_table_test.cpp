#include "agent/checks/protocol_table.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "agent/request/tests/request_test_support.h"
#include "testing/run_program.h"

namespace vorlane::agent {
namespace {

using testing::TempConfigDir;

TEST(ProtocolTableAvailable, OnlyANonEmptyReadableFile) {
  TempConfigDir config;
  const auto& table = config.paths().tcpConfig;
  EXPECT_FALSE(ProtocolTableAvailable(table)) << "missing";
  config.WriteTcpConfig("");
  EXPECT_FALSE(ProtocolTableAvailable(table)) << "empty";
  config.WriteTcpConfig(";");
  EXPECT_TRUE(ProtocolTableAvailable(table)) << "any size, even without sections";
  config.WriteTcpConfig("[SMTP]\nDPORT=25\n");
  EXPECT_TRUE(ProtocolTableAvailable(table));
  std::filesystem::remove(table);
  std::filesystem::create_directory(table);
  EXPECT_FALSE(ProtocolTableAvailable(table)) << "a folder";
  std::filesystem::remove(table);
  ASSERT_EQ(::mkfifo(table.c_str(), 0600), 0);
  EXPECT_FALSE(ProtocolTableAvailable(table)) << "a pipe must neither hang nor count";
}

TEST(ProtocolTableAvailable, UnreadableFileIsNotAvailable) {
  TempConfigDir config;
  config.WriteTcpConfig("[SMTP]\nDPORT=25\n");
  const std::filesystem::path table = config.paths().tcpConfig;
  // The folder may be passed through by anyone: only the file's own permission decides.
  ASSERT_EQ(::chmod(table.parent_path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(table.c_str(), 0644), 0);
  EXPECT_EQ(testkit::RunUnprivileged([&] { return ProtocolTableAvailable(table) ? 1 : 0; }), 1) << "readable";
  ASSERT_EQ(::chmod(table.c_str(), 0), 0);
  EXPECT_EQ(testkit::RunUnprivileged([&] { return ProtocolTableAvailable(table) ? 1 : 0; }), 0) << "unreadable";
}

TEST(BuildProtocolList, SectionsInFileOrderWithTheDefaultLast) {
  TempConfigDir config;
  config.WriteTcpConfig("[A]\r\nDPORT=21\r\n[B]\r\nDPORT=80\r\ndefault=1\r\n");
  const ProtocolList list = BuildProtocolList(config.paths().tcpConfig);
  EXPECT_EQ(list.text, "#value1=A:21#value2=B:80#default1=B:80#");
  EXPECT_EQ(list.count, 2);
  EXPECT_TRUE(list.hasDefault);
  EXPECT_EQ(list.defaultPort, 80);
}

TEST(BuildProtocolList, WithoutDefaultOrPortOrSections) {
  TempConfigDir config;
  config.WriteTcpConfig("[Echo]\n[HTTP]\nDPORT=80\ndefault=0\n");
  ProtocolList list = BuildProtocolList(config.paths().tcpConfig);
  EXPECT_EQ(list.text, "#value1=Echo:0#value2=HTTP:80#");
  EXPECT_FALSE(list.hasDefault);
  EXPECT_EQ(list.defaultPort, -1);

  config.WriteTcpConfig("; only a comment\n");
  list = BuildProtocolList(config.paths().tcpConfig);
  EXPECT_EQ(list.count, -1);
  EXPECT_EQ(list.text, "");
  EXPECT_EQ(BuildProtocolList("/nonexistent/TCPConfig.INI").count, -1);
}

TEST(BuildProtocolList, TheLastSectionMarkedDefaultWins) {
  TempConfigDir config;
  config.WriteTcpConfig("[FTP]\nDPORT=21\ndefault=1\n[SMTP]\nDPORT=25\ndefault=1\n[POP3]\nDPORT=110\ndefault=7\n");
  const ProtocolList list = BuildProtocolList(config.paths().tcpConfig);
  EXPECT_EQ(list.text, "#value1=FTP:21#value2=SMTP:25#value3=POP3:110#default1=POP3:110#");
  EXPECT_EQ(list.defaultPort, 110);
}

TEST(BuildProtocolList, NamesThatWouldBreakTheAnswerAreLeftOut) {
  TempConfigDir config;
  config.WriteTcpConfig("[Bad#Name]\nDPORT=1\ndefault=1\n[Quote\"d]\nDPORT=2\n[Good Name]\nDPORT=3\n");
  const ProtocolList list = BuildProtocolList(config.paths().tcpConfig);
  EXPECT_EQ(list.text, "#value1=Good Name:3#");
  EXPECT_EQ(list.count, 1);
  EXPECT_FALSE(list.hasDefault);
}

TEST(ReadProtocolSettings, ReadsEveryKeyWithItsDefault) {
  TempConfigDir config;
  config.WriteTcpConfig(
      "[smtp]\nDPORT=25\nPROC=220\nPROCC=2\nPSOC=HELO x\\x0D\\x0A\nPRAR=250\nPRARC=3\nPSOD=QUIT\nPWOD=5\n"
      "[Bare]\nDPORT=7\n[Empty]\n");
  const auto smtp = ReadProtocolSettings(config.paths().tcpConfig, "SMTP");
  ASSERT_TRUE(smtp) << "section names match without case";
  EXPECT_EQ(smtp->defaultPort, 25);
  EXPECT_EQ(smtp->receiveOnConnect, "220");
  EXPECT_EQ(smtp->receiveOnConnectCompare, 2);
  EXPECT_EQ(smtp->sendOnConnect, "HELO x\\x0D\\x0A") << "escapes are the component's to decode";
  EXPECT_EQ(smtp->receiveAsResponse, "250");
  EXPECT_EQ(smtp->receiveAsResponseCompare, 3);
  EXPECT_EQ(smtp->sendOnDisconnect, "QUIT");
  EXPECT_TRUE(smtp->waitOnDisconnect);

  const auto bare = ReadProtocolSettings(config.paths().tcpConfig, "Bare");
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->defaultPort, 7);
  EXPECT_EQ(bare->receiveOnConnect, "");
  EXPECT_EQ(bare->receiveOnConnectCompare, 0);
  EXPECT_FALSE(bare->waitOnDisconnect);

  EXPECT_FALSE(ReadProtocolSettings(config.paths().tcpConfig, "Empty")) << "a section without entries";
  EXPECT_FALSE(ReadProtocolSettings(config.paths().tcpConfig, "POP3"));
  EXPECT_FALSE(ReadProtocolSettings("/nonexistent/TCPConfig.INI", "SMTP"));
}

TEST(ReadProtocolSettings, LongTextsAreCutTo1023Characters) {
  TempConfigDir config;
  config.WriteTcpConfig("[Long]\nPSOC=" + std::string(3000, 'x') + "\n");
  const auto settings = ReadProtocolSettings(config.paths().tcpConfig, "Long");
  ASSERT_TRUE(settings);
  EXPECT_EQ(settings->sendOnConnect, std::string(1023, 'x'));
}

}  // namespace
}  // namespace vorlane::agent
