// The real agent program end to end: its command line, and a monitoring server's conversation
// with it over Telnet and SSH on loopback.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <vector>

#include "agent/tests/agent_answers.h"
#include "agent/tests/agent_process.h"
#include "cipher/password.h"
#include "platform/termserver/limits.h"
#include "platform/termserver/tests/ssh_flood_client.h"

namespace vorlane::agent::testing {
namespace {

const std::string kSessionShape = "[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}";

std::string Request(const std::string& action, const std::string& session) {
  return "#keycount=2#requestaction=" + action + "#sessionid=" + session + "#";
}

// Starts `agent` serving `protocol` on a free port for the user monitor with the password pw;
// the port, or 0 when the server did not start.
int StartServingMonitor(AgentProcess& agent, const std::string& protocol) {
  const int port = FreePort();
  agent.WriteConfig(Config(protocol, port, User("Operators", "monitor", "pw")));
  return agent.Start() && agent.WaitForLog("Server started!") ? port : 0;
}

struct CommandResult {
  int status = -1;  // as pclose returns it
  std::string output;
};

// Runs `command` with the shell and collects its standard output.
CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t n;
  while ((n = ::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  result.status = ::pclose(pipe);
  return result;
}

// The query tool logging in to the agent at `port` over `protocol` ("SSH" or "Telnet") as `user`
// with `password` (taken from the environment), sending `records` ("{session}" stands for the
// login's session id) and printing each answer on a line; `timeout` ends it whatever happens.
// The values go into the command in single quotes, so none may hold one.
CommandResult QueryToolRun(const std::string& protocol, int port, const std::string& user, const std::string& password,
                           const std::vector<std::string>& records) {
  auto quoted = [](const std::string& value) {
    EXPECT_EQ(value.find('\''), std::string::npos) << value;
    return "'" + value + "'";
  };
  std::string command = "VORLANE_PASSWORD=" + quoted(password) + " timeout 60 " + std::string(VORLANE_QUERY_BINARY) +
                        (protocol == "SSH" ? " --ssh" : " --telnet") + " --port " + std::to_string(port) +
                        " --user " + quoted(user);
  for (const std::string& record : records) command += " " + quoted(record);
  return RunCommand(command + " < /dev/null 2>/dev/null");
}

// What the OpenSSH client prints when it logs in to `host`:`port` with a password and leaves
// at once (its input ends): the login answer, or its complaint when refused.
std::string SshLoginOutput(const std::string& host, int port, const std::string& user, const std::string& password) {
  return RunCommand(SshClientCommand(port, host, user, password) + " < /dev/null 2>&1").output;
}

TEST(AgentCommandLine, VersionUsageAndConsoleStart) {
  {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start({"/VERSION"}));
    EXPECT_EQ(agent.WaitExit(), 0);
    EXPECT_EQ(agent.Output(), "Tarnquist's Remote Agent for Windows version 1.5.6.3\n");
  }
  {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start({}));
    EXPECT_EQ(agent.WaitExit(), 2) << "not started by the service manager";
  }
  {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start({"/bogus"}));
    EXPECT_EQ(agent.WaitExit(), 2);
    EXPECT_EQ(agent.Output(), "Bad param! \nUSAGE: vorlane [/install] [/uninstall] [/version]\n");
  }
}

TEST(AgentCommandLine, InstallAndUninstallTheUnit) {
  AgentProcess agent;
  const std::filesystem::path units = agent.Dir() / "units";
  std::filesystem::create_directories(units);
  // Every refusal exits non-zero, so that a script sees it.
  auto run = [&](const std::string& argument, int exitCode = 0) {
    AgentProcess command;
    EXPECT_TRUE(command.Start({argument}, {"VORLANE_UNIT_DIR=" + units.string()}));
    EXPECT_EQ(command.WaitExit(), exitCode) << argument;
    return command.Output();
  };
  EXPECT_EQ(run("/install"), "Install succeeded\n");
  const std::string unit = ReadFile(units / "vorlane.service");
  EXPECT_NE(unit.find("Description=Tarnquist's Remote Agent for Windows\n"), std::string::npos);
  EXPECT_NE(unit.find("Type=notify\n"), std::string::npos);
  EXPECT_NE(unit.find("ExecStart=\"" + std::string(VORLANE_AGENT_BINARY) + "\"\n"), std::string::npos);
  EXPECT_NE(unit.find("KillMode=process\n"), std::string::npos);  // started programs outlive a restart
  EXPECT_NE(unit.find("WantedBy=multi-user.target"), std::string::npos);
  EXPECT_NE(unit.find("ExecReload=/bin/kill -HUP $MAINPID\n"), std::string::npos);
  EXPECT_NE(unit.find("Environment=VORLANE_CONFIG_DIR=/"), std::string::npos) << unit;
  EXPECT_NE(unit.find("Environment=VORLANE_CLASS_REGISTRY=/"), std::string::npos) << unit;
  EXPECT_EQ(unit.find("@VORLANE_"), std::string::npos) << "every placeholder filled in: " << unit;
  EXPECT_EQ(run("/INSTALL", 1), "Could not install service! Error: 1073.");
  EXPECT_EQ(run("--uninstall"), "Unistall succeeded\n");
  EXPECT_FALSE(std::filesystem::exists(units / "vorlane.service"));
  EXPECT_EQ(run("/uninstall", 1), "Error uninstalling service: OpenService failed (error: 1060)\n");
}

TEST(AgentConsole, BadSettingsEndTheConsoleWithTheMessage) {
  for (const bool written : {false, true}) {
    SCOPED_TRACE(written ? "Protocol=ssh2, no user" : "no AgentConfig.INI at all");
    AgentProcess agent;
    if (written) agent.WriteConfig(Config("ssh2", FreePort(), ""));
    ASSERT_TRUE(agent.Start());
    EXPECT_NE(agent.WaitExit(), 0);
    EXPECT_NE(agent.Log().find("Could not read from INI file!"), std::string::npos) << agent.Log();
  }
}

// Port values that are no port: refused at start with the value in the log, and nothing served.
const std::string kBadPorts[] = {"abc", "0", "-5", "70000", "12abc"};

std::string BadPortLine(const std::string& value) {
  return "Port must be a number from 1 to 65535, not \"" + value + "\".";
}

TEST(AgentConsole, APortThatIsNoPortEndsTheConsoleAndAGoodOneServes) {
  for (const std::string& value : kBadPorts) {
    SCOPED_TRACE("Port=" + value);
    AgentProcess agent;
    agent.WriteConfig(Config("Telnet", value, User("Operators", "monitor", "pw")));
    ASSERT_TRUE(agent.Start());
    EXPECT_EQ(agent.WaitExit(), 1) << agent.Log();
    EXPECT_NE(agent.Log().find(BadPortLine(value)), std::string::npos) << agent.Log();
    EXPECT_EQ(agent.Log().find("Server started!"), std::string::npos) << agent.Log();
    EXPECT_EQ(agent.Log().find("port: "), std::string::npos) << agent.Log();
  }
  AgentProcess agent;
  const int port = FreePort();
  agent.WriteConfig(Config("Telnet", std::to_string(port), User("Operators", "monitor", "pw")));
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(agent.WaitForLog("Server started!")) << agent.Log();
  EXPECT_NE(agent.Log().find("port: " + std::to_string(port) + "."), std::string::npos) << agent.Log();
  EXPECT_EQ(agent.Log().find("Port must be"), std::string::npos) << agent.Log();
  EXPECT_NE(TelnetClient(port).Login("monitor", "pw"), "");
  EXPECT_EQ(agent.Stop(), 0) << agent.Log();
}

class AgentOverTelnet : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = FreePort();
    agent_.WriteConfig(Config("telnet", port_, User("Operators", "monitor", "Secret-16chars!!") +
                                                   User("Local", "local", "pw", "127.0.0.1") +
                                                   User("Far", "far", "pw", "10.0.0.1-10.0.0.9")));
    ASSERT_TRUE(agent_.Start());
    ASSERT_TRUE(agent_.WaitForLog("Server started!")) << agent_.Log();
    EXPECT_NE(agent_.Log().find("Protocol: Telnet, port: " + std::to_string(port_) + ". BindIP: 127.0.0.1 "),
              std::string::npos);
  }
  void TearDown() override { EXPECT_EQ(agent_.Stop(), 0) << agent_.Log(); }

  AgentProcess agent_;
  int port_ = 0;
};

TEST_F(AgentOverTelnet, LoginByNameWithoutCaseAndAgentInfo) {
  TelnetClient client(port_);
  const std::string session = client.Login("MONITOR", "Secret-16chars!!");
  ASSERT_TRUE(std::regex_match(session, std::regex(kSessionShape))) << session << agent_.Log();
  const std::string info = client.Request(Request("agentinfo", session));
  EXPECT_TRUE(std::regex_match(info, std::regex("#keycount=4#responseaction=ageninfo#agentversion=1\\.5\\.6\\.3#"
                                                "agentos=[^#]+ \\(Kernel [^#]+\\)#protocolversion=1\\.9#")))
      << info;
  EXPECT_NE(agent_.Log().find("-- i -- Login allowed"), std::string::npos);
  EXPECT_NE(agent_.Log().find("-- i -- Add sessionid = " + session + " to the sessions list."), std::string::npos);
  EXPECT_NE(agent_.Log().find("<--- Received from 127.0.0.1, "), std::string::npos);
  EXPECT_NE(agent_.Log().find("---> " + info), std::string::npos);
}

TEST_F(AgentOverTelnet, PasswordsAndRangesDecideTheLogin) {
  EXPECT_EQ(TelnetClient(port_).Login("monitor", "secret-16chars!!"), "") << "the password has case";
  EXPECT_NE(TelnetClient(port_).Login("local", "pw"), "") << "its single address is 127.0.0.1";
  EXPECT_EQ(TelnetClient(port_).Login("far", "pw"), "") << "127.0.0.1 is outside 10.0.0.1-10.0.0.9";
  EXPECT_EQ(TelnetClient(port_).Login("nobody", "pw"), "");
  const std::string log = agent_.Log();
  EXPECT_NE(log.find("-- i -- Wrong password!"), std::string::npos);
  EXPECT_NE(log.find("-- i -- Wrong IP!"), std::string::npos);
  EXPECT_NE(log.find("-- i -- Wrong user!"), std::string::npos);
  EXPECT_NE(log.find("-- i -- Login NOT allowed!"), std::string::npos);
}

TEST_F(AgentOverTelnet, CredentialsHoldingANulNeverLogIn) {
  const std::string nul(1, '\0');
  EXPECT_EQ(TelnetClient(port_).Login("monitor", "Secret-16chars!!" + nul + "junk"), "");
  EXPECT_EQ(TelnetClient(port_).Login("monitor", "Secret-16chars!!" + nul), "");
  EXPECT_EQ(TelnetClient(port_).Login("monitor" + nul + "junk", "Secret-16chars!!"), "");
  EXPECT_EQ(TelnetClient(port_).Login("local" + nul, "pw"), "");
  const std::string log = agent_.Log();
  EXPECT_NE(log.find("-- i -- Wrong password!"), std::string::npos) << log;
  EXPECT_EQ(log.find("-- i -- Login allowed"), std::string::npos) << log;
  EXPECT_EQ(log.find("-- i -- Wrong user!"), std::string::npos) << "refused before the name is looked up";
  EXPECT_NE(TelnetClient(port_).Login("monitor", "Secret-16chars!!"), "") << "the same credentials without the NUL";
}

// Connections that never log in cannot lock the monitoring server out: from one address only so
// many are served, the next one is closed at once (and logged), and a login from elsewhere goes on.
TEST_F(AgentOverTelnet, IdleConnectionsFromOneAddressDoNotLockLoginsOut) {
  constexpr size_t kCap = termserver::kMaxUnauthenticatedPerAddress;
  std::vector<std::unique_ptr<TelnetClient>> idle;
  for (size_t i = 0; i < kCap; ++i) {
    idle.push_back(std::make_unique<TelnetClient>("127.0.0.1", port_, "127.0.0.2"));
    ASSERT_TRUE(idle.back()->ReadUntil("login: ")) << "idle connection " << i << agent_.Log();
  }
  // The next one from that address waits for a place, un-served and not closed.
  TelnetClient waiting("127.0.0.1", port_, "127.0.0.2");
  EXPECT_FALSE(waiting.ReadUntil("login: ", 500ms));
  EXPECT_FALSE(waiting.SeenClosed());
  EXPECT_NE(TelnetClient(port_).Login("local", "pw"), "") << "127.0.0.1 logs in meanwhile";
  EXPECT_TRUE(agent_.WaitForLog("TermServer: a connection from 127.0.0.2 waits for a place: " + std::to_string(kCap) +
                                " connections from 127.0.0.2"))
      << agent_.Log();
  idle.pop_back();
  EXPECT_NE(waiting.Login("monitor", "Secret-16chars!!"), "") << "it gets the place that was given back";
}

// Logged-in connections hold no place among those not logged in yet: twice the cap of them from
// one address are all served, and the address may still open its full count of new ones.
TEST_F(AgentOverTelnet, LoggedInConnectionsFromOneAddressAreAllServed) {
  constexpr size_t kCap = termserver::kMaxUnauthenticatedPerAddress;
  std::vector<std::unique_ptr<TelnetClient>> clients;
  std::vector<std::string> sessions;
  for (size_t i = 0; i < 2 * kCap; ++i) {
    clients.push_back(std::make_unique<TelnetClient>("127.0.0.1", port_, "127.0.0.2"));
    sessions.push_back(clients.back()->Login("monitor", "Secret-16chars!!"));
    ASSERT_NE(sessions.back(), "") << "login " << i << agent_.Log();
  }
  for (size_t i = 0; i < clients.size(); ++i) {
    const std::string answer = clients[i]->Request(Request("agentinfo", sessions[i]));
    EXPECT_NE(answer.find("responseaction=ageninfo#"), std::string::npos) << "client " << i << ": " << answer;
  }
  std::vector<std::unique_ptr<TelnetClient>> idle;
  for (size_t i = 0; i < kCap; ++i) {
    idle.push_back(std::make_unique<TelnetClient>("127.0.0.1", port_, "127.0.0.2"));
    EXPECT_TRUE(idle.back()->ReadUntil("login: ")) << "idle connection " << i;
  }
}

// Listening on all interfaces, as an empty BindIP does, serves IPv6 and IPv4 (as mapped
// addresses) on one socket. Ranges are IPv4: the IPv6 peer ::1 is in none, however wide.
TEST(AgentOverTelnetDualStack, RangesAreIpv4AndAnIpv6PeerIsInNone) {
  const int port = FreePort();
  AgentProcess agent;
  agent.WriteConfig("[GeneralInfo]\r\nProtocol=telnet\r\nPort=" + std::to_string(port) + "\r\nBindIP=\r\n" +
                    User("Top", "top", "pw", "200.0.0.0-255.255.255.255") + User("Loop", "loop", "pw", "127.0.0.1") +
                    User("LoopRange", "looprange", "pw", "127.0.0.1-127.0.0.1") + User("Six", "six", "pw", "::1") +
                    User("Any", "any", "pw"));
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(agent.WaitForLog("Server started!")) << agent.Log();
  ASSERT_TRUE(TelnetClient("::1", port).Connected()) << "no IPv6 loopback here";

  EXPECT_NE(TelnetClient("::1", port).Login("any", "pw"), "") << "no range admits every peer";
  EXPECT_EQ(TelnetClient("::1", port).Login("top", "pw"), "") << "::1 was once read as 255.255.255.255";
  EXPECT_TRUE(agent.WaitForLog("-- i -- Wrong IP!")) << agent.Log();
  EXPECT_EQ(TelnetClient("::1", port).Login("loop", "pw"), "");
  EXPECT_EQ(TelnetClient("::1", port).Login("six", "pw"), "") << "a single address is IPv4 too";
  EXPECT_TRUE(agent.WaitForLog("-- i -- Wrong IP address!")) << agent.Log();

  // An IPv4 peer on the IPv6 socket arrives as ::ffff:127.0.0.1 and counts as 127.0.0.1.
  EXPECT_NE(TelnetClient("127.0.0.1", port).Login("loop", "pw"), "") << agent.Log();
  EXPECT_NE(TelnetClient("127.0.0.1", port).Login("looprange", "pw"), "") << agent.Log();
  EXPECT_EQ(TelnetClient("127.0.0.1", port).Login("top", "pw"), "");
  EXPECT_EQ(agent.Stop(), 0) << agent.Log();
}

// The same rule over SSH, whose peers the terminal server reports the same way.
TEST(AgentOverSshDualStack, RangesAreIpv4AndAnIpv6PeerIsInNone) {
  const int port = FreePort();
  AgentProcess agent;
  agent.WriteConfig("[GeneralInfo]\r\nProtocol=SSH\r\nPort=" + std::to_string(port) + "\r\nBindIP=\r\n" +
                    User("Top", "top", "pw", "200.0.0.0-255.255.255.255") + User("Loop", "loop", "pw", "127.0.0.1"));
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(agent.WaitForLog("Server started!")) << agent.Log();
  const std::regex loginAnswer("#keycount=3#responseaction=login#sessionid=" + kSessionShape + "#");
  EXPECT_FALSE(std::regex_search(SshLoginOutput("::1", port, "top", "pw"), loginAnswer));
  EXPECT_TRUE(agent.WaitForLog("-- i -- Wrong IP!")) << agent.Log();
  EXPECT_FALSE(std::regex_search(SshLoginOutput("::1", port, "loop", "pw"), loginAnswer));
  EXPECT_TRUE(agent.WaitForLog("-- i -- Wrong IP address!")) << agent.Log();
  const std::string mapped = SshLoginOutput("127.0.0.1", port, "loop", "pw");
  EXPECT_TRUE(std::regex_search(mapped, loginAnswer)) << mapped << agent.Log();
  EXPECT_EQ(agent.Stop(), 0) << agent.Log();
}

TEST_F(AgentOverTelnet, SessionsAreCheckedRenewedAndEnded) {
  TelnetClient client(port_);
  const std::string first = client.Login("monitor", "Secret-16chars!!");
  TelnetClient other(port_);
  const std::string second = other.Login("monitor", "Secret-16chars!!");
  ASSERT_FALSE(first.empty());
  ASSERT_NE(first, second);
  // Either session works on either connection.
  EXPECT_NE(client.Request(Request("agentinfo", second)).find("responseaction=ageninfo"), std::string::npos);

  EXPECT_EQ(client.Request(Request("agentinfo", "6B29FC40-CA47-1067-B31D-00DD010662DA")),
            "#keycount=4#responseaction=agentinfo#sessionid=6B29FC40-CA47-1067-B31D-00DD010662DA#sessionvalue=false#"
            "errormessage=Unknown session#");
  EXPECT_EQ(client.Request(Request("ListChecks", first)),
            "#keycount=2#responseaction=ListChecks#errormessage=Unknown request action#");

  // 300 idle seconds are still fine; the request renews the session.
  agent_.AdvanceClock(300);
  EXPECT_NE(client.Request(Request("agentinfo", first)).find("responseaction=ageninfo"), std::string::npos);
  agent_.AdvanceClock(301);
  EXPECT_EQ(client.Request(Request("agentinfo", first)),
            "#keycount=4#responseaction=agentinfo#sessionid=" + first +
                "#sessionvalue=false#errormessage=Session has timed out#");
  EXPECT_NE(client.Request(Request("agentinfo", first)).find("errormessage=Unknown session#"), std::string::npos);

  // Logout ends a session and answers nothing.
  TelnetClient again(port_);
  const std::string fourth = again.Login("monitor", "Secret-16chars!!");
  EXPECT_EQ(again.Request(Request("logout", fourth), 1s), "");
  EXPECT_NE(again.Request(Request("agentinfo", fourth)).find("errormessage=Unknown session#"), std::string::npos);
  EXPECT_NE(agent_.Log().find("-- i -- Remove sessionid = " + fourth + " from sessions list."), std::string::npos);
}

TEST_F(AgentOverTelnet, ListChecksFollowsTheProtocolTable) {
  TelnetClient client(port_);
  const std::string session = client.Login("monitor", "Secret-16chars!!");
  const std::string without = client.Request(Request("listchecks", session));
  EXPECT_NE(without.find("#checkid5=TCP#checkdescription5=TCPBasedCheck#available5=false#"), std::string::npos)
      << without;
  std::ofstream(agent_.Dir() / "TCPConfig.INI") << "[SMTP]\r\nPort=25\r\n";
  const std::string with = client.Request(Request("listchecks", session));
  EXPECT_EQ(with,
            "#keycount=17#responseaction=listchecks#checkcount=6#checkid1=NTSC#checkdescription1=NT ServiceCheck#"
            "available1=true#checkid2=NTPC#checkdescription2=NT ProcessCheck#available2=true#checkid3=DC#"
            "checkdescription3=DiskspaceCheck#available3=true#checkid4=PING#checkdescription4=PingCheck#"
            "available4=true#checkid5=TCP#checkdescription5=TCPBasedCheck#available5=true#checkid6=URL#"
            "checkdescription6=URL Check#available6=true#");
}

TEST_F(AgentOverTelnet, DiskFreeCheckAndFileActionsRun) {
  TelnetClient client(port_);
  const std::string session = client.Login("monitor", "Secret-16chars!!");
  EXPECT_EQ(client.Request("#keycount=5#requestaction=runcheck#sessionid=" + session +
                           "#checkid=DC__3#Drive letter=/#Value=0#Unit=%#"),
            "#keycount=3#responseaction=runcheck#checkid=DC#result=up#resultstring=There is more than 0 % free on drive /#");
  EXPECT_NE(client.Request("#requestaction=runcheck#sessionid=" + session + "#checkid=DC#Drive letter=/#Value=1#"
                           "Unit=%#Hostname=elsewhere#")
                .find("The network path was not found."),
            std::string::npos)
      << "a named host is never checked locally";
  EXPECT_EQ(client.Request("#requestaction=runcheck#sessionid=" + session + "#checkid=SNMP#"),
            "#keycount=2#responseaction=runcheck#errormessage=Unknown check#");
  std::ofstream(agent_.Dir() / "victim.txt") << "x";
  EXPECT_EQ(client.Request("#requestaction=deletefile#sessionid=" + session + "#FileName=%tmp%victim.txt#"),
            "#keycount=3#responseaction=deletefile#result=up#resultstring=File was deleted with success#");
  EXPECT_FALSE(std::filesystem::exists(agent_.Dir() / "victim.txt"));
}

TEST_F(AgentOverTelnet, HugeAndBrokenRequestsGetWellFormedAnswers) {
  TelnetClient client(port_);
  const std::string session = client.Login("monitor", "Secret-16chars!!");
  const std::string answer = client.Request("#requestaction=" + std::string(10000, 'x') + "#sessionid=" + session + "#");
  EXPECT_LE(answer.size(), 255u);
  EXPECT_EQ(answer.rfind("#keycount=2#responseaction=xxx", 0), 0u) << answer;
  const std::string tail = "#errormessage=Unknown request action#";
  EXPECT_EQ(answer.substr(answer.size() - tail.size()), tail);
  // Junk: still one answer each, and the agent goes on serving.
  EXPECT_NE(client.Request("\x01\x02###==#").find("errormessage=Unknown session#"), std::string::npos);
  EXPECT_NE(client.Request(Request("agentinfo", session)).find("responseaction=ageninfo"), std::string::npos);
}

// Longer than the quiet time that ends a request ending with '#' from a client that sends no
// line ends.
constexpr auto kPauseAfterHash = 3 * termserver::kHashRequestQuietTime;

TEST_F(AgentOverTelnet, APauseAfterAHashDoesNotCutALineEndedRecord) {
  TelnetClient client(port_);
  const std::string session = client.Login("monitor", "Secret-16chars!!");
  ASSERT_FALSE(session.empty()) << agent_.Log();
  // The client ends its records with CR LF.
  EXPECT_TRUE(std::regex_match(client.Request(Request("agentinfo", session)), std::regex(kAgentInfoShape)));
  // The next record pauses after a '#': waiting out the pause for an answer, none comes.
  client.Send("#keycount=2#requestaction=agentinfo#");
  EXPECT_EQ(client.ReadRecord(kPauseAfterHash), "") << "the first part was taken for a request";
  client.Send("sessionid=" + session + "#\r\n");
  const std::string answer = client.ReadRecord();
  EXPECT_TRUE(std::regex_match(answer, std::regex(kAgentInfoShape))) << answer;
  // A pause after the '#' that ends the record, before its CR LF, is no cut either.
  client.Send(Request("agentinfo", session));
  EXPECT_EQ(client.ReadRecord(kPauseAfterHash), "") << "the record was answered before its line end";
  client.Send("\r\n");
  EXPECT_TRUE(std::regex_match(client.ReadRecord(), std::regex(kAgentInfoShape)));
  EXPECT_EQ(agent_.Log().find("Unknown session"), std::string::npos) << agent_.Log();
  EXPECT_EQ(agent_.Log().find("Unknown request action"), std::string::npos) << agent_.Log();
}

TEST_F(AgentOverTelnet, AClientThatSendsNoLineEndsIsAnswered) {
  TelnetClient client(port_);
  const std::string session = client.Login("monitor", "Secret-16chars!!");
  ASSERT_FALSE(session.empty()) << agent_.Log();
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE("record " + std::to_string(i));
    client.Send(Request("agentinfo", session));
    const std::string answer = client.ReadRecord();
    EXPECT_TRUE(std::regex_match(answer, std::regex(kAgentInfoShape))) << answer;
  }
}

// A datagram socket in `folder` that the agent's service status reports are sent to.
class NotifySocket {
 public:
  explicit NotifySocket(const std::filesystem::path& folder) : path_((folder / "notify").string()) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~NotifySocket() { ::close(fd_); }
  bool Bound() const { return bound_; }
  std::string Env() const { return "NOTIFY_SOCKET=" + path_; }
  // The first of up to five reports (each awaited up to 20 s) that holds `text`, else the last.
  std::string WaitFor(const std::string& text) {
    std::string report;
    for (int i = 0; i < 5 && report.find(text) == std::string::npos; ++i) {
      pollfd pfd{fd_, POLLIN, 0};
      char buffer[512];
      const ssize_t n = ::poll(&pfd, 1, 20000) > 0 ? ::recv(fd_, buffer, sizeof buffer, 0) : 0;
      report = n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }
    return report;
  }

 private:
  std::string path_;
  int fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  bool bound_ = false;
};

TEST(AgentService, ReportsReadyAndStoppingToTheServiceManager) {
  // A hang-up reloads and never stops the service; the manager's SIGTERM stops it in order.
  for (const bool hangUpFirst : {false, true}) {
    SCOPED_TRACE(hangUpFirst ? "hang-up, then stop" : "stop");
    AgentProcess agent;
    const int port = FreePort();
    agent.WriteConfig(Config("Telnet", port, User("Operators", "monitor", "pw")));
    NotifySocket notify(agent.Dir());
    ASSERT_TRUE(notify.Bound());

    ASSERT_TRUE(agent.Start({}, {notify.Env()}));
    const std::string status = notify.WaitFor("READY=1");
    EXPECT_NE(status.find("READY=1"), std::string::npos) << agent.Log();
    EXPECT_NE(status.find("STATUS=Serving"), std::string::npos) << status;
    EXPECT_NE(TelnetClient(port).Login("monitor", "pw"), "") << "the service serves";
    if (hangUpFirst) {
      agent.WriteConfig(Config("Telnet", port % 65535 + 1, User("Operators", "monitor", "pw")));
      agent.Signal(SIGHUP);
      EXPECT_NE(notify.WaitFor("RELOADING=1").find("RELOADING=1"), std::string::npos);
      EXPECT_TRUE(agent.WaitForLog("take effect only after a restart: Port.")) << agent.Log();
      EXPECT_FALSE(agent.Exited());
      EXPECT_NE(TelnetClient(port).Login("monitor", "pw"), "") << "still serving on the port it started with";
    }

    EXPECT_EQ(agent.Stop(SIGTERM), 0) << agent.Log();
    EXPECT_NE(notify.WaitFor("STOPPING=1").find("STOPPING=1"), std::string::npos);
  }
}

TEST(AgentService, WithoutSettingsTheServiceKeepsRunningAndSaysWhy) {
  AgentProcess agent;  // no AgentConfig.INI
  NotifySocket notify(agent.Dir());
  ASSERT_TRUE(notify.Bound());
  ASSERT_TRUE(agent.Start({}, {notify.Env()}));
  const std::string status = notify.WaitFor("READY=1");
  EXPECT_NE(status.find("READY=1"), std::string::npos);
  EXPECT_NE(status.find("Not serving"), std::string::npos) << status;
  EXPECT_FALSE(agent.Exited()) << "a service stays up";
  EXPECT_NE(agent.Log().find("Could not read from INI file!"), std::string::npos);
  EXPECT_EQ(agent.Stop(), 0);
}

TEST(AgentService, APortThatIsNoPortKeepsTheServiceUpWithoutServing) {
  for (const std::string& value : kBadPorts) {
    SCOPED_TRACE("Port=" + value);
    AgentProcess agent;
    agent.WriteConfig(Config("Telnet", value, User("Operators", "monitor", "pw")));
    NotifySocket notify(agent.Dir());
    ASSERT_TRUE(notify.Bound());
    ASSERT_TRUE(agent.Start({}, {notify.Env()}));
    const std::string status = notify.WaitFor("READY=1");
    EXPECT_NE(status.find("Not serving"), std::string::npos) << status;
    EXPECT_FALSE(agent.Exited()) << "a service stays up";
    EXPECT_NE(agent.Log().find(BadPortLine(value)), std::string::npos) << agent.Log();
    EXPECT_EQ(agent.Log().find("Server started!"), std::string::npos) << agent.Log();
    EXPECT_EQ(agent.Stop(), 0);
  }
}

TEST(AgentQueryTool, AgentInfoOverSshAndTelnet) {
  for (const std::string protocol : {"SSH", "Telnet"}) {
    AgentProcess agent;
    const int port = StartServingMonitor(agent, protocol);
    ASSERT_NE(port, 0) << agent.Log();
    const auto [status, output] = QueryToolRun(protocol, port, "monitor", "pw",
                                               {"#keycount=2#requestaction=agentinfo#sessionid={session}#",
                                                "#keycount=2#requestaction=listchecks#sessionid={session}#",
                                                "#keycount=2#requestaction=logout#sessionid={session}#",
                                                "#keycount=2#requestaction=agentinfo#sessionid={session}#"});
    ASSERT_NE(status, -1);
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
    std::vector<std::string> lines;
    std::istringstream stream(output);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 4u) << protocol << "\n" << output;
    EXPECT_EQ(lines[0].rfind("#keycount=3#responseaction=login#sessionid=", 0), 0u);
    EXPECT_EQ(lines[1].rfind("#keycount=4#responseaction=ageninfo#agentversion=1.5.6.3#", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("#keycount=17#responseaction=listchecks#", 0), 0u);
    EXPECT_NE(lines[3].find("errormessage=Unknown session#"), std::string::npos) << "after logout";
    EXPECT_EQ(agent.Stop(), 0);
  }
}

// Credentials and requests are bytes, over either protocol: a password holding a byte that is no
// UTF-8 is exactly that password, not its UTF-8 look-alike nor one with U+FFFD in its place (the
// user "replaced" holds that one, and must stay closed to the Latin-1 bytes); names likewise.
TEST(AgentOverBothProtocols, CredentialsAndFileNamesThatAreNoUtf8ArriveByteForByte) {
  const struct {
    std::string user;
    std::string password;
    bool allowed;
  } logins[] = {
      // Ordered so that no more than two refusals come in a row: a refused SSH login may count
      // twice (password, then keyboard-interactive), and the login throttle starts at five.
      {"latin", "pw\xE9", true},
      {"latin", "pw\xEF\xBF\xBD", false},
      {"latin", "pw\xC3\xA9", false},
      {"replaced", "pw\xEF\xBF\xBD", true},
      {"replaced", "pw\xE9", false},
      {"latin", "pw\xED\xB3\xA9", false},
      {"n\xE9", "pw", true},
      {"n\xC3\xA9", "pw", false},
      {"n\xEF\xBF\xBD", "pw", false},
      {"top", "pw\xFF", true},  // over Telnet the byte of IAC, sent doubled
      {"top", "pw\xEF\xBF\xBD", false},
  };
  for (const std::string protocol : {"SSH", "Telnet"}) {
    SCOPED_TRACE(protocol);
    AgentProcess agent;
    const int port = FreePort();
    agent.WriteConfig(Config(protocol, port, User("Latin", "latin", "pw\xE9") +
                                                 User("Replaced", "replaced", "pw\xEF\xBF\xBD") +
                                                 User("Named", "n\xE9", "pw") + User("Top", "top", "pw\xFF")));
    ASSERT_TRUE(agent.Start());
    ASSERT_TRUE(agent.WaitForLog("Server started!")) << agent.Log();
    for (const auto& login : logins) {
      const auto [status, output] = QueryToolRun(protocol, port, login.user, login.password, {});
      EXPECT_EQ(WIFEXITED(status) && WEXITSTATUS(status) == 0, login.allowed)
          << ::testing::PrintToString(login.user) << " " << ::testing::PrintToString(login.password) << "\n" << output;
      EXPECT_EQ(output.rfind("#keycount=3#responseaction=login#sessionid=", 0) == 0, login.allowed) << output;
    }

    // A Latin-1 file name deletes that file, and none of its look-alikes.
    const std::filesystem::path dir = agent.Dir();
    const std::string lookAlikes[] = {"caf\xC3\xA9", "caf\xEF\xBF\xBD"};
    for (const std::string& name : lookAlikes) ASSERT_TRUE(testkit::WriteFile(dir / name, "sibling"));
    ASSERT_TRUE(testkit::WriteFile(dir / "caf\xE9", "target"));
    const std::string record =
        "#keycount=3#requestaction=deletefile#sessionid={session}#FileName=" + (dir / "caf\xE9").string() + "#";
    const auto [status, output] = QueryToolRun(protocol, port, "latin", "pw\xE9", {record});
    EXPECT_NE(
        output.find("\n#keycount=3#responseaction=deletefile#result=up#resultstring=File was deleted with success#"),
        std::string::npos)
        << output;
    EXPECT_FALSE(std::filesystem::exists(dir / "caf\xE9"));
    for (const std::string& name : lookAlikes) EXPECT_TRUE(std::filesystem::exists(dir / name)) << name;

    // An answer echoes the bytes as they came, 0xFF included.
    const std::string action = "l\xF6schen\xFF";
    const auto [echoStatus, echo] =
        QueryToolRun(protocol, port, "top", "pw\xFF", {"#requestaction=" + action + "#sessionid={session}#"});
    EXPECT_NE(echo.find("\n#keycount=2#responseaction=" + action + "#errormessage=Unknown request action#"),
              std::string::npos)
        << echo;
    EXPECT_EQ(agent.Stop(), 0) << agent.Log();
  }
}

TEST(AgentOverSsh, LoginAndAgentInfoWithTheOpenSshClient) {
  AgentProcess agent;
  const int port = StartServingMonitor(agent, "SSH");
  ASSERT_NE(port, 0) << agent.Log();
  // The host keys are kept beside the configuration.
  EXPECT_TRUE(std::filesystem::exists(agent.Dir() / "ssh_host_ed25519_key"));

  // The client's input ends at once: it gets the login answer and leaves.
  const std::string output = SshLoginOutput("127.0.0.1", port, "monitor", "pw");
  EXPECT_TRUE(std::regex_search(output, std::regex("#keycount=3#responseaction=login#sessionid=" + kSessionShape +
                                                   "#registrationlevel=standard#")))
      << output;
  EXPECT_EQ(agent.Stop(), 0) << agent.Log();
}

TEST(AgentOverSsh, APauseAfterAHashDoesNotCutALineEndedRecord) {
  AgentProcess agent;
  const int port = StartServingMonitor(agent, "SSH");
  ASSERT_NE(port, 0) << agent.Log();
  // An unknown session gets a well-formed answer, so the client needs no session of its own:
  // cut in two, the record would get an answer for each half instead.
  // The client sends the record with CR LF, waits for its answer, then sends it again with a
  // pause after the '#' before "sessionid", and ends its input.
  const std::filesystem::path script = agent.Dir() / "paused_client.sh";
  std::ofstream(script) << R"(set -u
coproc client { $1 2>&1; }
to=${client[1]} from=${client[0]}
record='#keycount=2#requestaction=agentinfo#sessionid=6B29FC40-CA47-1067-B31D-00DD010662DA#'
printf '%s\r\n' "$record" >&"$to"
seen=
for ((i = 0; i < 100; ++i)); do
  IFS= read -r -t 20 -d '#' part <&"$from" || break
  seen+="$part#"
  [[ $seen == *'errormessage=Unknown session#'* ]] && break
done
printf '%s' "$seen"
printf '%s' "${record%%sessionid=*}" >&"$to"
sleep "$2"
printf 'sessionid=%s\r\n' "${record#*sessionid=}" >&"$to"
eval "exec $to>&-"
cat <&"$from"
)";
  const std::string pause = std::to_string(std::chrono::duration<double>(kPauseAfterHash).count());
  const std::string output =
      RunCommand("bash " + script.string() + " '" + SshClientCommand(port) + "' " + pause).output;
  const std::string answer = "#keycount=4#responseaction=agentinfo#sessionid=6B29FC40-CA47-1067-B31D-00DD010662DA#"
                             "sessionvalue=false#errormessage=Unknown session#";
  auto count = [&output](const std::string& text) {
    size_t found = 0;
    for (size_t at = output.find(text); at != std::string::npos; at = output.find(text, at + 1)) ++found;
    return found;
  };
  EXPECT_EQ(count(answer), 2u) << output;
  EXPECT_EQ(count("errormessage="), 2u) << output;
  EXPECT_EQ(agent.Stop(), 0) << agent.Log();
}

// A monitoring server in a hurry sends its logout and leaves at once, without an end of input
// (its channel closed and disconnected, only disconnected, or its socket just shut): the logout
// must still end the session every time, though the connection is gone before it has run.
TEST(AgentOverSsh, ALogoutSentJustBeforeTheClientLeavesEndsTheSession) {
  AgentProcess agent;
  const int port = StartServingMonitor(agent, "SSH");
  ASSERT_NE(port, 0) << agent.Log();
  const std::regex login("responseaction=login#sessionid=(" + kSessionShape + ")#");
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::string session;
    {
      termserver::testing::SshFloodClient client(port, "monitor", "pw");
      ASSERT_TRUE(client.Connect(1, "registrationlevel=standard#")) << agent.Log();
      std::smatch match;
      ASSERT_TRUE(std::regex_search(client.Greeting(), match, login)) << client.Greeting();
      session = match[1];
      ASSERT_TRUE(client.Write(Request("logout", session) + "\r\n"));
      if (round % 3 == 2) {
        client.Abandon();
      } else {
        client.Leave(round % 3 == 0);
      }
    }
    EXPECT_TRUE(agent.WaitForLog("Remove sessionid = " + session + " from sessions list.")) << agent.Log();
  }
  EXPECT_EQ(agent.Stop(), 0) << agent.Log();
}

TEST(AgentOverSsh, EveryShellOfASharedConnectionGetsItsOwnLoginAndAnswers) {
  AgentProcess agent;
  const int port = StartServingMonitor(agent, "SSH");
  ASSERT_NE(port, 0) << agent.Log();
  // OpenSSH's connection sharing: one logged-in master connection, and shells opened through its
  // control socket, each a channel of that one SSH connection. Shell one stays open while shell
  // two logs in and asks; then shell one ends, and a third shell logs in after it.
  const std::string socket = (agent.Dir() / "mux").string();
  std::string master = SshClientCommand(port);
  master.replace(master.find(" ssh -T "), 8, " ssh -M -S " + socket + " -N -T ");
  const std::string shell = "timeout 30 ssh -T -S " + socket + " -F /dev/null -o LogLevel=ERROR";
  const std::filesystem::path script = agent.Dir() / "shared_shells.sh";
  std::ofstream(script) << R"sh(set -u
master=$1 shell=$2 dir=$3 host=monitor@127.0.0.1
$master &
master_pid=$!
trap 'kill $master_pid 2>/dev/null; wait' EXIT
for ((i = 0; i < 200; ++i)); do $shell -O check $host 2>/dev/null && break; sleep 0.05; done
upto() {  # reads '#'-ended parts from descriptor $1 until what was read holds $2
  local seen= part i
  for ((i = 0; i < 100; ++i)); do
    IFS= read -r -t 20 -d '#' part <&"$1" || break
    seen+="$part#"
    [[ $seen == *"$2"* ]] && break
  done
  printf '%s' "$seen"
}
session_of() { local rest=${1#*sessionid=}; printf '%s' "${rest%%#*}"; }
ask() { printf '#keycount=2#requestaction=agentinfo#sessionid=%s#\r\n' "$(session_of "$2")" >&"$1"; }
mkfifo "$dir/one.in" "$dir/one.out" "$dir/two.in" "$dir/two.out"
$shell $host <"$dir/one.in" >"$dir/one.out" 2>&1 &
exec 3>"$dir/one.in" 4<"$dir/one.out"
one=$(upto 4 'registrationlevel=standard#')
echo "one login: $one"
$shell $host <"$dir/two.in" >"$dir/two.out" 2>&1 3>&- 4<&- &
exec 5>"$dir/two.in" 6<"$dir/two.out"
two=$(upto 6 'registrationlevel=standard#')
echo "two login: $two"
ask 5 "$two"
echo "two answer: $(upto 6 'protocolversion=')"
ask 3 "$one"
echo "one answer: $(upto 4 'protocolversion=')"
exec 3>&-
echo "one rest: $(cat <&4)"
echo "three login: $($shell $host </dev/null 2>&1)"
exec 5>&-
echo "two rest: $(cat <&6)"
$shell -O exit $host 2>/dev/null
)sh";
  const std::string output =
      RunCommand("bash " + script.string() + " '" + master + "' '" + shell + "' " + agent.Dir().string()).output;
  std::map<std::string, std::string> said;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (const size_t colon = line.find(": "); colon != std::string::npos) said[line.substr(0, colon)] = line.substr(colon + 2);
  }
  const std::regex login("#keycount=3#responseaction=login#sessionid=(" + kSessionShape + ")#registrationlevel=standard#");
  const std::regex info("#keycount=4#responseaction=ageninfo#agentversion=[^#]+#agentos=[^#]+#protocolversion=1\\.9#");
  std::set<std::string> sessions;
  for (const char* name : {"one login", "two login", "three login"}) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(said[name], match, login)) << name << "\n" << output << agent.Log();
    sessions.insert(match[1]);
  }
  EXPECT_EQ(sessions.size(), 3u) << "each shell has a session of its own\n" << output;
  // Each shell's answer arrives on that shell, and nothing more does.
  EXPECT_TRUE(std::regex_match(said["two answer"], info)) << output;
  EXPECT_TRUE(std::regex_match(said["one answer"], info)) << output;
  EXPECT_EQ(said["one rest"], "") << output;
  EXPECT_EQ(said["two rest"], "") << output;
  EXPECT_EQ(agent.Stop(), 0) << agent.Log();
}

}  // namespace
}  // namespace vorlane::agent::testing
