// Logins to the SSH server with the OpenSSH client: what is allowed, how often, and that nothing
// else is acted on before a login succeeded.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "platform/termserver/limits.h"
#include "platform/termserver/ssh_handles.h"
#include "platform/termserver/tests/fake_connection.h"
#include "platform/termserver/tests/ssh_test_harness.h"

namespace vorlane::termserver::testing {
namespace {

size_t CountPrefix(const Strings& events, const std::string& prefix) {
  return static_cast<size_t>(
      std::count_if(events.begin(), events.end(), [&](const std::string& e) { return e.rfind(prefix, 0) == 0; }));
}

std::vector<std::string> WithOption(std::vector<std::string> argv, const std::string& from, const std::string& to) {
  std::replace(argv.begin(), argv.end(), from, to);
  return argv;
}

TEST(SshLogin, WrongPasswordRefused) {
  FakeConnection fake;
  const Strings events = RunRefusedClient(fake, [](int port) { return SshCommand(port, "wrong", {}); }).events;
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events[0], "LoginPassword:monitor:wrong");
  EXPECT_EQ(CountPrefix(events, "ServiceRequest"), 0u);
  EXPECT_EQ(CountPrefix(events, "ServiceStart"), 0u);
}

// sshpass gives up at the second prompt, so the client here asks a script for the password,
// which always answers wrong and would do so five times.
TEST(SshLogin, ThirdWrongPasswordDisconnects) {
  TempDir folder;
  const auto askpass = folder.WriteFile("askpass", "#!/bin/sh\necho wrong\n");
  ASSERT_EQ(::chmod(askpass.c_str(), 0700), 0);
  FakeConnection fake;
  const auto noSshpass = [](int port) {
    std::vector<std::string> argv = SshCommand(port, "", {"-o", "NumberOfPasswordPrompts=5"});
    argv.erase(argv.begin() + 2, argv.begin() + 5);
    return argv;
  };
  const RefusedClient client =
      RunRefusedClient(fake, noSshpass, {"SSH_ASKPASS=" + askpass.string(), "SSH_ASKPASS_REQUIRE=force"});
  const Strings& events = client.events;
  EXPECT_EQ(CountPrefix(events, "LoginPassword:monitor:wrong"), static_cast<size_t>(kMaxPasswordTries)) << client.output;
  EXPECT_EQ(events.size(), static_cast<size_t>(kMaxPasswordTries));
}

TEST(SshLogin, KeyboardInteractiveChecksThePassword) {
  FakeConnection fake;
  fake.onServiceStart = [&fake](int32_t channel, int32_t) { fake.Send(channel, "ready\r\n"); };
  ServedPort served(fake);
  ChildProcess ssh(WithOption(SshCommand(served.port(), "secret", {}), "PreferredAuthentications=password,keyboard-interactive",
                              "PreferredAuthentications=keyboard-interactive"));
  ASSERT_TRUE(ssh.WaitForOutput("ready", 30s)) << ssh.output();
  ssh.CloseInput();
  ASSERT_TRUE(ssh.Wait(30s));
  ASSERT_TRUE(served.Done(10s));
  const Strings events = fake.Events();
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events[0], "LoginPassword:monitor:secret");
  EXPECT_EQ(events[2], "ServiceStart:0:0:shell");
}

TEST(SshLogin, KeyboardInteractiveWrongPasswordRefused) {
  FakeConnection fake;
  const Strings events = RunRefusedClient(fake, [](int port) {
                           return WithOption(SshCommand(port, "wrong", {}), "PreferredAuthentications=password,keyboard-interactive",
                                             "PreferredAuthentications=keyboard-interactive");
                         }).events;
  EXPECT_GE(CountPrefix(events, "LoginPassword:monitor:wrong"), 1u);
  EXPECT_EQ(CountPrefix(events, "ServiceStart"), 0u);
}

TEST(SshLogin, OverlongUserNameRefusedWithoutAsking) {
  FakeConnection fake;
  const std::string user(kMaxCredentialBytes + 1, 'u');
  fake.user = user;  // would be allowed, were it asked
  const Strings events = RunRefusedClient(fake, [&](int port) { return SshCommand(port, "secret", {}, {}, user); }).events;
  EXPECT_EQ(CountPrefix(events, "LoginPassword"), 0u);
}

// OpenSSH cuts passwords to 1023 bytes, so libssh plays the client here.
class LibsshClient {
 public:
  explicit LibsshClient(int port) : session_(ssh_new()) {
    long timeout = 10;
    ssh_options_set(session_.get(), SSH_OPTIONS_HOST, "127.0.0.1");
    ssh_options_set(session_.get(), SSH_OPTIONS_PORT, &port);
    ssh_options_set(session_.get(), SSH_OPTIONS_USER, "monitor");
    ssh_options_set(session_.get(), SSH_OPTIONS_TIMEOUT, &timeout);
    connected_ = ssh_connect(session_.get()) == SSH_OK;
  }
  ~LibsshClient() { ssh_disconnect(session_.get()); }
  bool connected() const { return connected_; }
  ssh_session get() { return session_.get(); }

 private:
  SshSessionPtr session_;
  bool connected_ = false;
};

TEST(SshLogin, OverlongPasswordRefusedWithoutAsking) {
  FakeConnection fake;
  const std::string password(kMaxCredentialBytes + 1, 'p');
  fake.password = password;  // would be allowed, were it asked
  ServedPort served(fake);
  {
    LibsshClient client(served.port());
    ASSERT_TRUE(client.connected()) << ssh_get_error(client.get());
    EXPECT_EQ(ssh_userauth_password(client.get(), nullptr, password.c_str()), SSH_AUTH_DENIED);
    // A password of the longest allowed size is asked about.
    EXPECT_EQ(ssh_userauth_password(client.get(), nullptr, password.substr(1).c_str()), SSH_AUTH_DENIED);
  }
  ASSERT_TRUE(served.Done(10s));
  EXPECT_EQ(fake.Events(), (Strings{"LoginPassword:monitor:" + password.substr(1)}));
}

TEST(SshLogin, PublicKeyRefused) {
  TempDir folder;
  const auto key = folder.Path() / "id_ed25519";
  ChildProcess keygen({"timeout", "30", "ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", key.string()});
  keygen.CloseInput();
  auto made = keygen.Wait(30s);
  ASSERT_TRUE(made && *made == 0) << keygen.output();
  FakeConnection fake;
  const RefusedClient client = RunRefusedClient(fake, [&](int port) {
    std::vector<std::string> argv = SshCommand(port, "", {"-o", "BatchMode=yes", "-i", key.string()});
    argv.erase(argv.begin() + 2, argv.begin() + 5);  // no password at all
    return WithOption(WithOption(argv, "PubkeyAuthentication=no", "PubkeyAuthentication=yes"),
                      "PreferredAuthentications=password,keyboard-interactive", "PreferredAuthentications=publickey");
  });
  // The refusal names what the server takes instead.
  EXPECT_NE(client.output.find("Permission denied (keyboard-interactive,password)"), std::string::npos) << client.output;
  EXPECT_TRUE(client.events.empty());
}

}  // namespace
}  // namespace vorlane::termserver::testing
