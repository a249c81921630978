// The checks on another host through an SSH connection, against OpenSSH's sshd on loopback: the
// connector's logins and failures, the host key pinned on first use, the queries over the
// connection, and the real agent answering the same requests alike on this host and through SSH.
// Every connection the agent opens is counted on the server side and must be gone after the
// answer.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "agent/checks/check_host.h"
#include "agent/checks/process_check.h"
#include "agent/checks/remote_host.h"
#include "agent/checks/service_check.h"
#include "agent/checks/ssh_connector.h"
#include "agent/checks/tests/check_test_support.h"
#include "agent/tests/agent_process.h"
#include "agent/tests/remote_sshd.h"
#include "cipher/base64.h"
#include "platform/service/tests/private_system_bus.h"

namespace vorlane::agent::testing {
namespace {

using namespace std::chrono_literals;

// Sorted as systemctl sorts its list, so that the private bus's manager (which keeps the file's
// order) and the stand-in systemctl list them alike.
constexpr char kUnits[] =
    "Mixed-Case.service loaded active running\n"
    "broken.service loaded failed failed\n"
    "cron.service loaded active running\n"
    "dbus.service loaded active running\n"
    "oneshot.service loaded active exited\n"
    "paused-one.service loaded active reload\n"
    "ssh.socket loaded active listening\n"
    "stopped.service loaded inactive dead\n";

std::string Encode(std::string_view plain) {
  return cipher::Base64EncodeToString(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(plain.data()), plain.size()));
}

// One server for the whole program, started by the first test that needs it and ended (by its
// pid) when the program exits.
RemoteSshd& Server() {
  static RemoteSshd server;
  static const bool unitsWritten = (server.WriteUnits(kUnits), true);
  (void)unitsWritten;
  return server;
}

// A second server that asks for the password by keyboard-interactive prompts only.
RemoteSshd& PromptingServer() {
  static RemoteSshd server(RemoteSshd::PasswordLogin::kKeyboardInteractive);
  return server;
}

class SshConnectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access("/usr/sbin/sshd", X_OK) != 0) GTEST_SKIP() << "sshd is not installed (Debian package openssh-server)";
    ASSERT_TRUE(Server().Ready()) << Server().Log();
    options_.knownHostsFile = dir_ / "known_hosts";
    options_.keyFolder = Server().AgentHome() / ".ssh";
    options_.timeout = 10s;
  }
  void TearDown() override { EXPECT_TRUE(Server().NoConnectionLeft()) << "a connection outlived its connector"; }

  std::string Remote() const { return RemoteHostName(Server().Hostname()); }

  testkit::TempDir dir_{"vorlane-ssh-connector"};
  platform::SshClientOptions options_;
};

TEST_F(SshConnectorTest, LoginsGiveTheNetworkingResultCodes) {
  struct Case {
    const char* what;
    std::optional<std::string> user;
    std::string password;
    uint32_t result;
  };
  const Case cases[] = {
      {"right password", kRemoteUser, kRemotePassword, kNetSuccess},
      {"wrong password", kRemoteUser, "wrong", kNetLogonFailure},
      {"empty password: the agent's key", kRemoteUser, "", kNetSuccess},
      {"empty password, no key for the user", kNoProcUser, "", kNetLogonFailure},
      {"empty user name, never the agent's own account", "", "", kNetLogonFailure},
      {"unknown user", "nosuchuser", kRemotePassword, kNetLogonFailure},
      {"the agent account's own key", std::nullopt, "", kNetSuccess},
  };
  for (const Case& c : cases) {
    {
      SshRemoteConnector connector(options_);
      const std::optional<std::string> password =
          c.user ? std::optional<std::string>(c.password) : std::optional<std::string>();
      EXPECT_EQ(connector.AddConnection(Remote(), c.user, password), c.result) << c.what;
      EXPECT_EQ(connector.OpenConnections(), c.result == kNetSuccess ? 1u : 0u) << c.what;
    }
    EXPECT_TRUE(Server().NoConnectionLeft()) << c.what;
  }
  EXPECT_NE(Server().Log().find("Accepted password for " + std::string(kRemoteUser)), std::string::npos);
  EXPECT_NE(Server().Log().find("Accepted publickey for root"), std::string::npos);
  EXPECT_NE(Server().Log().find("Accepted publickey for " + std::string(kRemoteUser)), std::string::npos);
}

TEST_F(SshConnectorTest, KeyboardInteractivePromptsAreAnsweredWithThePassword) {
  ASSERT_TRUE(PromptingServer().Ready()) << PromptingServer().Log();
  const std::string remote = RemoteHostName(PromptingServer().Hostname());
  {
    SshRemoteConnector connector(options_);
    EXPECT_EQ(connector.AddConnection(remote, kRemoteUser, "wrong"), kNetLogonFailure);
  }
  {
    SshRemoteConnector connector(options_);
    ASSERT_EQ(connector.AddConnection(remote, kRemoteUser, kRemotePassword), kNetSuccess)
        << PromptingServer().Log();
    EXPECT_TRUE(connector.ConnectedHost(remote).QueryVolumeSpace("/").has_value());
  }
  EXPECT_NE(PromptingServer().Log().find("Accepted keyboard-interactive/pam for " + std::string(kRemoteUser)),
            std::string::npos);
  EXPECT_EQ(PromptingServer().Log().find("Accepted password"), std::string::npos);
  EXPECT_TRUE(PromptingServer().NoConnectionLeft());
}

TEST_F(SshConnectorTest, HostsThatCannotBeReachedAreNetworkPathNotFound) {
  const std::string closedPort = "127.0.0.1:" + std::to_string(FreePort());
  // A user name in front of the host is no way around the request's own user.
  const std::string withUser = "root@" + Server().Hostname();
  const std::string hosts[] = {"no-such-host.invalid", closedPort, "127.0.0.1:0", "[::1", "127.0.0.1:99999", withUser};
  for (const std::string& host : hosts) {
    SshRemoteConnector connector(options_);
    const auto started = std::chrono::steady_clock::now();
    const RemoteConnectResult result = ConnectRemoteHost(connector, host, true, kRemoteUser, kRemotePassword);
    EXPECT_FALSE(result.ok) << host;
    EXPECT_EQ(result.failureText, "The network path was not found.\r\n") << host;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 15s) << host;
    EXPECT_EQ(connector.OpenConnections(), 0u);
  }
}

TEST_F(SshConnectorTest, HostKeyIsPinnedOnFirstUseAndAChangedKeyIsRefused) {
  // The folder is missing and cannot be made (a file is in its place): no key is pinned, no login.
  ASSERT_TRUE(testkit::WriteFile(dir_ / "file", ""));
  SshRemoteConnector unpinnable({dir_ / "file" / "remote_known_hosts", options_.keyFolder, options_.timeout});
  EXPECT_EQ(unpinnable.AddConnection(Remote(), kRemoteUser, kRemotePassword), kNetKnownHostsUnwritable);
  {
    SshRemoteConnector connector(options_);
    ASSERT_EQ(connector.AddConnection(Remote(), kRemoteUser, kRemotePassword), kNetSuccess);
  }
  const std::string pinned = ReadFile(options_.knownHostsFile);
  EXPECT_NE(pinned.find("[127.0.0.1]:" + std::to_string(Server().Port()) + " ssh-ed25519 "), std::string::npos)
      << pinned;
  {
    SshRemoteConnector connector(options_);
    EXPECT_EQ(connector.AddConnection(Remote(), kRemoteUser, kRemotePassword), kNetSuccess) << "the pinned key";
  }
  // The host now shows a key other than the pinned one (as a host that was replaced would).
  ASSERT_EQ(std::system(("ssh-keygen -q -t ed25519 -N '' -f '" + (dir_ / "other_key").string() + "'").c_str()), 0);
  std::string other = ReadFile(dir_ / "other_key.pub");
  other = other.substr(0, other.find(' ', other.find(' ') + 1));
  const std::string changed = "[127.0.0.1]:" + std::to_string(Server().Port()) + " " + other + "\n";
  ASSERT_TRUE(testkit::WriteFile(options_.knownHostsFile, changed));
  SshRemoteConnector connector(options_);
  const RemoteConnectResult result = ConnectRemoteHost(connector, Server().Hostname(), true, kRemoteUser,
                                                       kRemotePassword);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.failureText, WindowsErrorText(kNetHostKeyChanged));
  EXPECT_NE(result.failureText.find("key has changed"), std::string::npos);
  EXPECT_EQ(connector.OpenConnections(), 0u);
  EXPECT_EQ(ReadFile(options_.knownHostsFile), changed) << "the pinned key was replaced";
}

TEST_F(SshConnectorTest, OnlyLowerCaseTrueLogsInWithThePassword) {
  // A wrong password with "True" still gets in: the agent's own key is used, not the password.
  const std::string record = "#keycount=4#Hostname=" + Server().Hostname() +
                             "#Use authentication=True#Username=" + kRemoteUser + "#*Password=" + Encode("wrong") + "#";
  {
    SshRemoteConnector connector(options_);
    const RemoteHostRequest request = ReadRemoteHostRequest(record);
    EXPECT_TRUE(ConnectRemoteHost(connector, request.host, request.useAuthentication, request.user, request.password).ok);
  }
  std::string lower = record;
  lower.replace(lower.find("True"), 4, "true");
  SshRemoteConnector connector(options_);
  const RemoteHostRequest request = ReadRemoteHostRequest(lower);
  const RemoteConnectResult result =
      ConnectRemoteHost(connector, request.host, request.useAuthentication, request.user, request.password);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.failureText, "The user name or password is incorrect.\r\n");
}

TEST_F(SshConnectorTest, ASecondConnectionToTheHostInOneRequestGoesOnWithTheFirst) {
  SshRemoteConnector connector(options_);
  EXPECT_EQ(connector.AddConnection(Remote(), kRemoteUser, kRemotePassword), kNetSuccess);
  EXPECT_EQ(connector.AddConnection(Remote(), std::nullopt, std::nullopt), kNetSessionCredentialConflict);
  EXPECT_EQ(connector.OpenConnections(), 1u);
  connector.CancelConnection(Remote());
  EXPECT_EQ(connector.OpenConnections(), 0u);
  EXPECT_TRUE(Server().NoConnectionLeft()) << "cancelling closes the connection at once";
}

TEST_F(SshConnectorTest, QueriesOverTheConnectionSeeTheHost) {
  NamedProcesses shortName("vlremoteq", 2);
  NamedProcesses longName("vlremote-long-process-name", 3);
  ASSERT_EQ(shortName.Running(), 2u);
  ASSERT_EQ(longName.Running(), 3u);
  SshRemoteConnector connector(options_);
  ASSERT_EQ(connector.AddConnection(Remote(), kRemoteUser, kRemotePassword), kNetSuccess);
  CheckHost& host = connector.ConnectedHost(Remote());

  EXPECT_EQ(CountProcesses(host, "VLREMOTEQ").count, 2);
  EXPECT_EQ(CountProcesses(host, "vlremote-long-process-name").count, 3);
  EXPECT_EQ(CountProcesses(host, "vlremote-long-p").count, 0) << "a cut name is not the process's name";
  EXPECT_EQ(CountProcesses(host, "_total").count, 1);
  const ProcessNameList names = ListProcessNames(host);
  EXPECT_EQ(names.status, 0u);
  EXPECT_NE(names.text.find("=vlremoteq#"), std::string::npos);
  EXPECT_NE(names.text.find("=sshd#"), std::string::npos);
  EXPECT_EQ(names.text.find("_Total"), std::string::npos);

  const std::optional<VolumeSpace> remote = host.QueryVolumeSpace(dir_.Path().string());
  const std::optional<VolumeSpace> local = QueryVolumeSpace(dir_.Path().string());
  ASSERT_TRUE(remote.has_value());
  ASSERT_TRUE(local.has_value());
  EXPECT_EQ(remote->totalBytes, local->totalBytes);
  EXPECT_FALSE(host.QueryVolumeSpace("/no/such/path/for/vorlane").has_value());

  EXPECT_EQ(ListRunningServices(host).text, "#value1=Mixed-Case#value2=cron#value3=dbus");
  EXPECT_TRUE(IsServiceRunning(host, "CRON"));
  EXPECT_FALSE(IsServiceRunning(host, "paused-one"));
  EXPECT_FALSE(IsServiceRunning(host, "nosuch"));
}

TEST_F(SshConnectorTest, NamesFromTheRequestRunNothingOnTheHost) {
  const std::string marker = (Server().Dir() / "home" / "x").string();
  // A folder whose name holds a quote and a semicolon is measured as that one path.
  const std::filesystem::path odd = dir_ / "it's; a \"dir\"";
  std::filesystem::create_directories(odd);
  ::chmod(dir_.Path().c_str(), 0755);
  SshRemoteConnector connector(options_);
  ASSERT_EQ(connector.AddConnection(Remote(), kRemoteUser, kRemotePassword), kNetSuccess);
  CheckHost& host = connector.ConnectedHost(Remote());
  EXPECT_TRUE(host.QueryVolumeSpace(odd.string()).has_value());
  const std::string attempts[] = {
      "; touch x",
      "/; touch x",
      "/'; touch x; '",
      "/\"; touch x; \"",
      "$(touch x)",
      "`touch x`",
      "/ && touch x",
      "'\"; touch x #",
  };
  for (const std::string& attempt : attempts) {
    EXPECT_FALSE(host.QueryVolumeSpace(attempt).has_value()) << attempt;
    EXPECT_FALSE(IsServiceRunning(host, "cron" + attempt)) << attempt;
    EXPECT_FALSE(IsServiceRunning(host, attempt)) << attempt;
  }
  EXPECT_FALSE(std::filesystem::exists(marker)) << "a request's name ran a command on the host";
  EXPECT_EQ(ReadFile(Server().Dir() / "systemctl-calls").find("touch"), std::string::npos);
}

TEST_F(SshConnectorTest, AHostWithoutSystemdHasNoServices) {
  SshRemoteConnector connector(options_);
  ASSERT_EQ(connector.AddConnection(Remote(), kRemoteUser, kRemotePassword), kNetSuccess);
  CheckHost& host = connector.ConnectedHost(Remote());
  Server().SetSystemdPresent(false);
  const ServiceList list = ListRunningServices(host);
  const bool running = IsServiceRunning(host, "cron");
  Server().SetSystemdPresent(true);
  EXPECT_EQ(list.text, "");
  EXPECT_EQ(list.count, 0);
  EXPECT_FALSE(running);
  EXPECT_TRUE(IsServiceRunning(host, "cron"));
}

TEST_F(SshConnectorTest, ConnectingAndEveryCommandAreBoundedInTime) {
  options_.timeout = 1s;
  // A peer that takes the connection but never says a word.
  uint16_t silentPort = 0;
  const UniqueFd silent = tcpclient::testing::ListenLoopback(&silentPort);
  ASSERT_TRUE(silent.valid());
  auto started = std::chrono::steady_clock::now();
  const Result<std::unique_ptr<platform::SshClientConnection>> mute =
      platform::SshClientConnection::Connect({"127.0.0.1", silentPort}, {kRemoteUser, kRemotePassword}, options_);
  ASSERT_FALSE(mute.ok());
  EXPECT_EQ(mute.error().code, static_cast<int>(platform::SshConnectFailure::kUnreachable));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);

  Result<std::unique_ptr<platform::SshClientConnection>> connection = platform::SshClientConnection::Connect(
      {"127.0.0.1", static_cast<uint16_t>(Server().Port())}, {kRemoteUser, kRemotePassword}, options_);
  ASSERT_TRUE(connection.ok()) << connection.error().message;
  const Result<platform::SshCommandResult> quick = connection.value()->Run("echo one; echo two >&2; exit 7");
  ASSERT_TRUE(quick.ok()) << quick.error().message;
  EXPECT_EQ(quick.value().output, "one\n");
  EXPECT_EQ(quick.value().exitStatus, 7);
  started = std::chrono::steady_clock::now();
  EXPECT_FALSE(connection.value()->Run("sleep 5").ok()) << "a command past the time bound fails";
  EXPECT_LT(std::chrono::steady_clock::now() - started, 4500ms) << "it is given up at its bound, not awaited";
  const Result<platform::SshCommandResult> flood = connection.value()->Run("head -c 100000 /dev/zero", 4096);
  EXPECT_FALSE(flood.ok()) << "output past the size bound fails";
  // The connection still serves after both.
  const Result<platform::SshCommandResult> after = connection.value()->Run("echo after");
  ASSERT_TRUE(after.ok()) << after.error().message;
  EXPECT_EQ(after.value().output, "after\n");
}

// ---- the real agent, on this host and through SSH ----

class AgentRemoteChecks : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access("/usr/sbin/sshd", X_OK) != 0) GTEST_SKIP() << "sshd is not installed (Debian package openssh-server)";
    ASSERT_TRUE(Server().Ready()) << Server().Log();
    bus_.StartFakeManager(VORLANE_FAKE_SYSTEMD_BINARY);
    ASSERT_TRUE(bus_.Ready());
    bus_.WriteUnits(kUnits);
    ASSERT_TRUE(
        agent_.Start({"DBUS_SYSTEM_BUS_ADDRESS=" + bus_.Address(), "HOME=" + Server().AgentHome().string()}));
  }
  void TearDown() override { EXPECT_EQ(agent_.Stop(), 0) << agent_.Log(); }

  std::string Ask(const std::string& action, const std::string& parameters) {
    return agent_.Request(action, parameters);
  }
  // The parameters that send a request to the test's sshd: with the password, or with the
  // agent's own key.
  static std::string ByPassword(const std::string& user = kRemoteUser, const std::string& password = kRemotePassword) {
    return "Hostname=" + Server().Hostname() + "#Use authentication=true#Username=" + user +
           "#*Password=" + Encode(password) + "#";
  }
  static std::string ByKey() {
    return "Hostname=" + Server().Hostname() + "#Use authentication=false#Username=#*Password=#";
  }

  platform::testing::PrivateSystemBus bus_;
  LoggedInAgent agent_;
};

TEST_F(AgentRemoteChecks, TheSameRequestsAnswerAlikeThroughSshAndOnThisHost) {
  NamedProcesses three("vlremotecheck", 3);
  NamedProcesses cut("vlremote-cut-name-proc", 1);
  ASSERT_EQ(three.Running(), 3u);
  const std::string requests[] = {
      "checkid=NTSC#Service=cron#",
      "checkid=NTSC#Service=CRON#",
      "checkid=NTSC#Service=paused-one#",
      "checkid=NTSC#Service=stopped#",
      "checkid=NTSC1#Service=no-such-service#",
      "checkid=NTPC#Process name=vlremotecheck#Type=at least#Number=3#",
      "checkid=NTPC#Process name=VLREMOTECHECK#Type=less than#Number=4#",
      "checkid=NTPC#Process name=vlremote-cut-name-proc#Type=less than#Number=1#",
      "checkid=NTPC2#Process name=vlremote-absent#Type=less than#Number=1#",
      "checkid=NTPC#Process name=vlremotecheck#Type=Less Than#Number=1#",
      "checkid=DC#Drive letter=/#Value=1#Unit=kb#",
      "checkid=DC#Drive letter=/#Value=0#Unit=%#",
      "checkid=DC#Drive letter=/#Value=2000000#Unit=tb#",
      "checkid=DC#Drive letter=/#Value=1#Unit=MB#",
      "checkid=DC__3#Drive letter=/no/such/path#Value=1#Unit=gb#",
  };
  for (const std::string& request : requests) {
    const std::string local = Ask("runcheck", request);
    ASSERT_NE(local, "") << request;
    EXPECT_EQ(local.find("errormessage=ERROR: could not connect"), std::string::npos) << local;
    EXPECT_EQ(Ask("runcheck", request + ByPassword(kRemoteUser, "")), local) << request;
    EXPECT_EQ(Ask("runcheck", request + ByPassword()), local) << request;
    EXPECT_TRUE(Server().NoConnectionLeft()) << request;
    EXPECT_EQ(Ask("runcheck", request + ByKey()), local) << request;
    EXPECT_TRUE(Server().NoConnectionLeft()) << request;
  }
}

TEST_F(AgentRemoteChecks, ValueListsComeFromTheNamedHost) {
  NamedProcesses named("vlremotecombo", 2);
  const std::string localServices = Ask("getcomboparamvalues", "checkid=NTSC#Hostname=#");
  EXPECT_EQ(localServices,
            "#keycount=3#responseaction=getcomboparamvalues#checkid=NTSC#parameters=\"#paramname2=Service#"
            "paramtype2=listcombo#valuecount=3#value1=Mixed-Case#value2=cron#value3=dbus#\"#");
  EXPECT_EQ(Ask("getcomboparamvalues", "checkid=NTSC#" + ByPassword()), localServices);
  EXPECT_TRUE(Server().NoConnectionLeft());

  const std::string processes = Ask("getcomboparamvalues", "checkid=NTPC#" + ByPassword());
  EXPECT_EQ(processes.rfind("#keycount=3#responseaction=getcomboparamvalues#checkid=NTPC#parameters=\"#paramname1="
                            "Process name#paramtype1=listcombo#valuecount=",
                            0),
            0u)
      << processes;
  EXPECT_NE(processes.find("=vlremotecombo#"), std::string::npos);
  // The list is the remote account's view: the connection's own sshd is there.
  EXPECT_NE(processes.find("=sshd#"), std::string::npos);
  EXPECT_TRUE(Server().NoConnectionLeft());

  Server().SetSystemdPresent(false);
  const std::string noServices = Ask("getcomboparamvalues", "checkid=NTSC#" + ByPassword());
  const std::string notRunning = Ask("runcheck", "checkid=NTSC#Service=cron#" + ByPassword());
  Server().SetSystemdPresent(true);
  EXPECT_EQ(noServices,
            "#keycount=3#responseaction=getcomboparamvalues#checkid=NTSC#errormessage=ERROR: Could not get the "
            "running services!#");
  EXPECT_EQ(notRunning, "#keycount=3#responseaction=runcheck#checkid=NTSC#result=down#resultstring=cron is not running#")
      << "a host whose manager cannot be asked is not answered for by this host's";
  EXPECT_TRUE(Server().NoConnectionLeft());
}

TEST_F(AgentRemoteChecks, AHostWithoutAProcessTableAnswersWithTheEnumerationError) {
  const std::string noProc = ByPassword(kNoProcUser);
  // The account's commands do run (the volume is measured there); only the process table is gone.
  const std::string disk = "checkid=DC#Drive letter=/#Value=1#Unit=kb#";
  EXPECT_EQ(Ask("runcheck", disk + noProc), Ask("runcheck", disk));
  EXPECT_EQ(Ask("runcheck", "checkid=NTPC#Process name=sshd#Type=less than#Number=1#" + noProc),
            "#keycount=3#responseaction=runcheck#checkid=NTPC#errormessage=ERROR: Could not get the running "
            "processes! \r\nError code: 0xC0000BB8. The specified object is not found on the system.\r\n#");
  EXPECT_EQ(Ask("getcomboparamvalues", "checkid=NTPC#" + noProc),
            "#keycount=3#responseaction=getcomboparamvalues#checkid=NTPC#errormessage=ERROR: Could not get the "
            "running processes! \n\rError code: 0xC0000BB8. The specified object is not found on the system.\r\n#");
  EXPECT_TRUE(Server().NoConnectionLeft());
}

TEST_F(AgentRemoteChecks, ConnectionFailuresAreAnsweredWithTheirReasons) {
  // A folder in the file's place: no key can be pinned there, whoever runs the agent.
  std::filesystem::create_directory(agent_.Dir() / "remote_known_hosts");
  EXPECT_EQ(Ask("runcheck", "checkid=DC#Drive letter=/#Value=1#Unit=gb#" + ByPassword()),
            "#keycount=3#responseaction=runcheck#checkid=DC#errormessage=ERROR: could not connect to hostname. "
            "Reason: " + WindowsErrorText(kNetKnownHostsUnwritable) + "#");
  EXPECT_NE(WindowsErrorText(kNetKnownHostsUnwritable).find("remote_known_hosts"), std::string::npos);
  std::filesystem::remove(agent_.Dir() / "remote_known_hosts");
  const std::string wrong = ByPassword(kRemoteUser, "wrong");
  EXPECT_EQ(Ask("runcheck", "checkid=NTSC#Service=cron#" + ByPassword("", "")),
            Ask("runcheck", "checkid=NTSC#Service=cron#" + wrong));
  EXPECT_EQ(Ask("runcheck", "checkid=NTSC#Service=cron#" + wrong),
            "#keycount=3#responseaction=runcheck#checkid=NTSC#errormessage=ERROR: could not connect to hostname. "
            "Reason: The user name or password is incorrect.\r\n#");
  EXPECT_EQ(Ask("getcomboparamvalues", "checkid=NTPC#" + wrong),
            "#keycount=3#responseaction=getcomboparamvalues#checkid=NTPC#errormessage=ERROR: could not connect to "
            "hostname. Reason: The user name or password is incorrect.\r\n#");
  EXPECT_TRUE(Server().NoConnectionLeft());
  EXPECT_EQ(Ask("runcheck", "checkid=DC#Drive letter=/#Value=1#Unit=gb#Hostname=127.0.0.1:" +
                                std::to_string(FreePort()) + "#"),
            "#keycount=3#responseaction=runcheck#checkid=DC#errormessage=ERROR: could not connect to hostname. "
            "Reason: The network path was not found.\r\n#");
  // The first connection pinned the host's key in the agent's configuration folder.
  EXPECT_NE(ReadFile(agent_.Dir() / "remote_known_hosts").find("[127.0.0.1]:" + std::to_string(Server().Port())),
            std::string::npos);
}

TEST_F(AgentRemoteChecks, APathFromTheRequestRunsNothingOnTheHost) {
  const std::filesystem::path marker = Server().Dir() / "home" / "x";
  for (const std::string drive : {"/; touch x", "/'; touch x; '", "$(touch x)"}) {
    EXPECT_EQ(Ask("runcheck", "checkid=DC#Drive letter=" + drive + "#Value=1#Unit=gb#" + ByPassword()),
              "#keycount=3#responseaction=runcheck#checkid=DC#errormessage=ERROR: Could not get the free space for " +
                  drive + "#");
    EXPECT_EQ(Ask("runcheck", "checkid=NTSC#Service=cron" + drive + "#" + ByPassword()),
              "#keycount=3#responseaction=runcheck#checkid=NTSC#result=down#resultstring=cron" + drive +
                  " is not running#");
  }
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_TRUE(Server().NoConnectionLeft());
}

}  // namespace
}  // namespace vorlane::agent::testing
