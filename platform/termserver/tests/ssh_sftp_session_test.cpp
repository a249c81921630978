// SFTP through the SSH server with the OpenSSH sftp client.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/termserver/tests/fake_connection.h"
#include "platform/termserver/tests/ssh_test_harness.h"

namespace vorlane::termserver::testing {
namespace {


std::vector<std::string> SftpCommand(int port, const std::string& password) {
  std::vector<std::string> argv = SshCommand(port, password, {});
  // The same client options, for sftp: "-P" for the port and no destination arguments yet.
  auto ssh = std::find(argv.begin(), argv.end(), "ssh");
  *ssh = "sftp";
  auto port_flag = std::find(ssh, argv.end(), "-p");
  *port_flag = "-P";
  return argv;
}

TEST(SshSftp, ListsAndDownloadsFromTheHomeFolder) {
  TempDir home, local;
  home.WriteFile("hello.txt", "hello over sftp\n");
  FakeConnection fake;
  fake.sftpHome = home.Path().string();
  ServedPort served(fake);
  ChildProcess sftp(SftpCommand(served.port(), "secret"));
  sftp.Input("ls -1\nget hello.txt " + (local.Path() / "copy.txt").string() + "\nbye\n");
  sftp.CloseInput();
  auto status = sftp.Wait(30s);
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0) << sftp.output();
  EXPECT_NE(sftp.output().find("hello.txt"), std::string::npos) << sftp.output();
  EXPECT_EQ(testkit::ReadFile(local / "copy.txt"), "hello over sftp\n");
  ASSERT_TRUE(served.Done(10s));
  const Strings events = fake.Events();
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events[0], "LoginPassword:monitor:secret");
  EXPECT_EQ(events[1], "ServiceRequest:0:3");
  EXPECT_EQ(events[2], "ServiceStart:0:3:sftp");
  EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const std::string& e) { return e.rfind("Sftp:9:", 0) == 0; }));
}

TEST(SshSftp, UnknownSubsystemRefusedWithoutAsking) {
  FakeConnection fake;
  const Strings events =
      RunRefusedClient(fake, [](int port) { return SshCommand(port, "secret", {"-s"}, {"not-sftp"}); }).events;
  EXPECT_EQ(events, (Strings{"LoginPassword:monitor:secret"}));
}

}  // namespace
}  // namespace vorlane::termserver::testing
