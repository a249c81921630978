// The checks on the agent's host, end to end: the real program on loopback asked over Telnet as
// a monitoring server asks it, with processes, services (a service manager of the test's own on
// a private bus) and files that the test sets up.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "agent/checks/tests/check_test_support.h"
#include "agent/request/record.h"
#include "agent/tests/agent_process.h"
#include "platform/base/utf8.h"
#include "platform/service/tests/private_system_bus.h"

namespace vorlane::agent::testing {
namespace {

using namespace std::chrono_literals;

class AgentChecks : public ::testing::Test {
 protected:
  void SetUp() override {
    bus_.StartFakeManager(VORLANE_FAKE_SYSTEMD_BINARY);
    ASSERT_TRUE(bus_.Ready());
    bus_.WriteUnits(
        "dbus.service loaded active running\n"
        "cron.service loaded active running\n"
        "paused-one.service loaded active reload\n"
        "ssh.socket loaded active listening\n"
        "Mixed-Case.service loaded active running\n"
        "oneshot.service loaded active exited\n"
        "stopped.service loaded inactive dead\n"
        "broken.service loaded failed failed\n");
    port_ = FreePort();
    agent_.WriteConfig(Config("telnet", port_, User("Operators", "monitor", "Secret-16chars!!")));
    ASSERT_TRUE(agent_.Start({"/console"}, {"DBUS_SYSTEM_BUS_ADDRESS=" + bus_.Address()}));
    ASSERT_TRUE(agent_.WaitForLog("Server started!")) << agent_.Log();
    client_ = std::make_unique<TelnetClient>(port_);
    session_ = client_->Login("monitor", "Secret-16chars!!");
    ASSERT_FALSE(session_.empty()) << agent_.Log();
  }
  void TearDown() override { EXPECT_EQ(agent_.Stop(), 0) << agent_.Log(); }

  std::string Ask(const std::string& action, const std::string& parameters) {
    return client_->Request("#requestaction=" + action + "#sessionid=" + session_ + "#" + parameters);
  }
  std::string RunCheck(const std::string& parameters) { return Ask("runcheck", parameters); }

  platform::testing::PrivateSystemBus bus_;
  AgentProcess agent_;
  int port_ = 0;
  std::unique_ptr<TelnetClient> client_;
  std::string session_;
};


constexpr std::string_view kServiceHead =
    "#keycount=3#responseaction=definecheck#checkid=NTSC#parameters=\"#paramname1=Hostname#paramtype1=text#"
    "maxlength1=255#paramname2=Service#paramtype2=listcombo#valuecount=";
constexpr std::string_view kServiceTail =
    "#atbutton_paramcount=4#atbutton_param1=Hostname#atbutton_param2=Use authentication#"
    "atbutton_param3=Username#atbutton_param4=*Password#sorted=true##paramname3=Use authentication#"
    "paramtype3=boolean#paramname4=Username#paramtype4=text#dependson4=paramname3#paramname5=*Password#"
    "paramtype5=text#dependson5=paramname3#\"#";

TEST_F(AgentChecks, ServiceDefinitionListsTheRunningServicesInTheManagersOrder) {
  const std::string expected = std::string(kServiceHead) + "3#value1=dbus#value2=cron#value3=Mixed-Case" +
                               std::string(kServiceTail);
  EXPECT_EQ(Ask("definecheck", "checkid=NTSC#"), expected);
  EXPECT_EQ(Ask("definecheck", "checkid=NTSC1#"), expected);
  EXPECT_EQ(Ask("definecheck", "checkid=ntsc#"), "#keycount=2#responseaction=definecheck#errormessage=Check not found#");

  EXPECT_EQ(Ask("getcomboparamvalues", "checkid=NTSC#Hostname=#"),
            "#keycount=3#responseaction=getcomboparamvalues#checkid=NTSC#parameters=\"#paramname2=Service#"
            "paramtype2=listcombo#valuecount=3#value1=dbus#value2=cron#value3=Mixed-Case#\"#");

  // The list is built afresh for every request.
  bus_.WriteUnits("cron.service loaded active running\n");
  EXPECT_EQ(Ask("getcomboparamvalues", "checkid=NTSC1#"),
            "#keycount=3#responseaction=getcomboparamvalues#checkid=NTSC#parameters=\"#paramname2=Service#"
            "paramtype2=listcombo#valuecount=1#value1=cron#\"#");

  // Nothing running: no list, and the answers say so.
  bus_.WriteUnits("cron.service loaded inactive dead\n");
  EXPECT_EQ(Ask("definecheck", "checkid=NTSC#"),
            "#keycount=3#responseaction=runcheck#checkid=NTSC#errormessage=ERROR: Could not get the running services!#");
  EXPECT_EQ(Ask("getcomboparamvalues", "checkid=NTSC#"),
            "#keycount=3#responseaction=getcomboparamvalues#checkid=NTSC#errormessage=ERROR: Could not get the "
            "running services!#");
}

TEST_F(AgentChecks, ServiceCheckIsUpOnlyForARunningServiceByItsKeyName) {
  const auto answer = [](const std::string& name, bool up) {
    return "#keycount=3#responseaction=runcheck#checkid=NTSC#result=" + std::string(up ? "up" : "down") +
           "#resultstring=" + name + (up ? " is running#" : " is not running#");
  };
  EXPECT_EQ(RunCheck("checkid=NTSC#Service=cron#"), answer("cron", true));
  EXPECT_EQ(RunCheck("checkid=NTSC1#Service=CRON#"), answer("CRON", true)) << "key names match without case";
  EXPECT_EQ(RunCheck("checkid=NTSC#Service=mixed-case#"), answer("mixed-case", true));
  EXPECT_EQ(RunCheck("checkid=NTSC#Service=paused-one#"), answer("paused-one", false));
  EXPECT_EQ(RunCheck("checkid=NTSC#Service=oneshot#"), answer("oneshot", false));
  EXPECT_EQ(RunCheck("checkid=NTSC#Service=stopped#"), answer("stopped", false));
  EXPECT_EQ(RunCheck("checkid=NTSC#Service=broken#"), answer("broken", false));
  EXPECT_EQ(RunCheck("checkid=NTSC#Service=cron.service#"), answer("cron.service", false));
  EXPECT_EQ(RunCheck("checkid=NTSC#Service=Regular background program processing daemon#"),
            answer("Regular background program processing daemon", false))
      << "a title does not name a service";
  EXPECT_EQ(RunCheck("checkid=NTSC#Service=ssh#"), answer("ssh", false)) << "a socket unit is no service";
  EXPECT_EQ(RunCheck("checkid=NTSC#Service=cron#Hostname=elsewhere#"),
            "#keycount=3#responseaction=runcheck#checkid=NTSC#errormessage=ERROR: could not connect to hostname. "
            "Reason: The network path was not found.\r\n#");
}

TEST_F(AgentChecks, ProcessCheckCountsTheTestsProcesses) {
  const std::string name = "vqE" + std::to_string(::getpid());
  NamedProcesses processes(name, 3);
  ASSERT_EQ(processes.Running(), 3u);
  const std::string head = "#keycount=3#responseaction=runcheck#checkid=NTPC#result=";
  EXPECT_EQ(RunCheck("checkid=NTPC#Process name=" + name + "#Type=at least#Number=3#"),
            head + "down#resultstring=There is/are at least 3 process(es) named " + name + " running#");
  EXPECT_EQ(RunCheck("checkid=NTPC2#Process name=" + name + "#Type=less than#Number=4#"),
            head + "down#resultstring=There are less than 4 processes named " + name + " running#");
  std::string upper = name;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(RunCheck("checkid=NTPC#Process name=" + upper + "#Type=less than#Number=3#"),
            head + "up#resultstring=There is/are at least 3 process(es) named " + upper + " running#");
  EXPECT_EQ(RunCheck("checkid=NTPC#Process name=" + name + ".exe#Type=less than#Number=1#"),
            head + "down#resultstring=There are less than 1 processes named " + name + ".exe running#");
  EXPECT_EQ(RunCheck("checkid=NTPC#Process name=_total#Type=at least#Number=2#"),
            head + "up#resultstring=There are less than 2 processes named _total running#");
  EXPECT_EQ(RunCheck("checkid=NTPC#Process name=" + name + "#Type=Less Than#Number=1#"), head + "down#resultstring=#");
  processes.StopOne();
  EXPECT_EQ(RunCheck("checkid=NTPC#Process name=" + name + "#Type=at least#Number=3#"),
            head + "up#resultstring=There are less than 3 processes named " + name + " running#");

  const std::string combo = Ask("getcomboparamvalues", "checkid=NTPC#");
  EXPECT_NE(combo.find("=" + name + "#"), std::string::npos);
  EXPECT_EQ(combo.find("=_Total#"), std::string::npos);
  const std::string defined = Ask("definecheck", "checkid=NTPC2#");
  EXPECT_NE(defined.find("=" + name + "#"), std::string::npos) << "listed in the definition too";
}

TEST_F(AgentChecks, TcpDefinitionFollowsTheProtocolTable) {
  EXPECT_EQ(Ask("definecheck", "checkid=TCP#"),
            "#keycount=3#responseaction=runcheck#checkid=TCP#errormessage=ERROR: Could not get the TCP protocols! "
            "\r\nWrong INI file!#");
  std::ofstream(agent_.Dir() / "TCPConfig.INI") << "[SMTP]\r\nDPORT=25\r\n[POP3]\r\nDPORT=110\r\ndefault=1\r\n";
  EXPECT_EQ(Ask("definecheck", "checkid=TCP#"),
            "#keycount=3#responseaction=definecheck#checkid=TCP#parameters=\"#paramname1=Protocol#"
            "paramtype1=listdrop#valuecount=2#value1=SMTP:25#value2=POP3:110#default1=POP3:110#sorted=true#"
            "paramname2=Port#paramtype2=longinteger#maxlength2=65535#default2=110#paramname3=Hostname#"
            "paramtype3=text#maxlength3=255#paramname4=Timeout (sec.)#paramtype4=longinteger#maxlength4=600#\"#");
  const std::string disk = Ask("definecheck", "checkid=DC__3#");
  EXPECT_NE(disk.find("value6=%#paramname4=Hostname"), std::string::npos) << disk;
}

TEST_F(AgentChecks, DiskFreeThresholdsAndUnits) {
  const std::string head = "#keycount=3#responseaction=runcheck#checkid=DC#result=";
  EXPECT_EQ(RunCheck("checkid=DC#Drive letter=/#Value=0#Unit=bytes#"),
            head + "up#resultstring=There is more than 0 bytes free on drive /#")
      << "0 bytes free or more always holds";
  EXPECT_EQ(RunCheck("checkid=DC#Drive letter=/#Value=-1#Unit=bytes#"),
            head + "down#resultstring=There is less than -1 bytes free on drive /#")
      << "a negative absolute threshold is never met";
  EXPECT_EQ(RunCheck("checkid=DC#Drive letter=/#Value=-1#Unit=%#"),
            head + "up#resultstring=There is more than -1 % free on drive /#");
  EXPECT_EQ(RunCheck("checkid=DC#Drive letter=/#Value=101#Unit=%#"),
            head + "down#resultstring=There is less than 101 % free on drive /#");
  EXPECT_EQ(RunCheck("checkid=DC#Drive letter=/#Value=abc#Unit=tb#"),
            head + "up#resultstring=There is more than 0 tb free on drive /#");
  EXPECT_EQ(RunCheck("checkid=DC#Drive letter=/#Value=1#Unit=MB#"), head + "down#resultstring=ERROR: wrong unit (MB)#");
  EXPECT_EQ(RunCheck("checkid=DC#Drive letter=/nonexistent/volume#Value=1#Unit=mb#"),
            "#keycount=3#responseaction=runcheck#checkid=DC#errormessage=ERROR: Could not get the free space for "
            "/nonexistent/volume#");
}

TEST_F(AgentChecks, FileActionsWithPlaceholders) {
  const std::filesystem::path made = agent_.Dir() / "made-by-executefile";
  EXPECT_EQ(Ask("executefile", "CommandLine=touch \"%tmp%made-by-executefile\"#"),
            "#keycount=3#responseaction=executefile#result=up#resultstring=Execute file started ok#");
  EXPECT_TRUE(PollUntil([&] { return std::filesystem::exists(made); })) << "the program ran with the placeholder expanded";
  EXPECT_EQ(Ask("deletefile", "FileName=%tmp%made-by-executefile#"),
            "#keycount=3#responseaction=deletefile#result=up#resultstring=File was deleted with success#");
  EXPECT_FALSE(std::filesystem::exists(made));
  EXPECT_EQ(Ask("deletefile", "FileName=%tmp%made-by-executefile#"),
            "#keycount=3#responseaction=deletefile#result=down#resultstring=Error: No such file or directory#");
  EXPECT_EQ(Ask("executefile", "CommandLine=vlzq-no-such-program --flag#"),
            "#keycount=3#responseaction=executefile#result=down#resultstring=Error: No such file or directory#");
  EXPECT_EQ(Ask("deletefile", "FileName=%tmp%#"),
            "#keycount=3#responseaction=deletefile#result=down#resultstring=Error: Is a directory#")
      << "a folder is never removed";
  EXPECT_TRUE(std::filesystem::is_directory(agent_.Dir()));
}

TEST_F(AgentChecks, FileActionValuesHoldingANulAreRefused) {
  const std::string nul(1, '\0');
  const std::filesystem::path victim = agent_.Dir() / "victim";
  std::ofstream(victim) << "data";
  EXPECT_EQ(Ask("deletefile", "FileName=" + victim.string() + nul + ".bak#"),
            "#keycount=3#responseaction=deletefile#result=down#resultstring=Error: The file name holds a NUL byte.#");
  EXPECT_EQ(Ask("deletefile", "FileName=%tmp%victim" + nul + "#"),
            "#keycount=3#responseaction=deletefile#result=down#resultstring=Error: The file name holds a NUL byte.#");
  EXPECT_TRUE(std::filesystem::exists(victim)) << "the name cut at its NUL must not be deleted";

  const std::filesystem::path made = agent_.Dir() / "made-despite-nul";
  EXPECT_EQ(Ask("executefile", "CommandLine=touch " + made.string() + nul + " --more#"),
            "#keycount=3#responseaction=executefile#result=down#resultstring=Error: The command line holds a NUL "
            "byte.#");
  // A command that does run afterwards shows the refused one had its chance to start and did not.
  const std::filesystem::path control = agent_.Dir() / "made-by-control";
  EXPECT_EQ(Ask("executefile", "CommandLine=touch " + control.string() + "#"),
            "#keycount=3#responseaction=executefile#result=up#resultstring=Execute file started ok#");
  EXPECT_TRUE(PollUntil([&] { return std::filesystem::exists(control); }));
  EXPECT_FALSE(std::filesystem::exists(made));

  EXPECT_EQ(Ask("deletefile", "FileName=" + victim.string() + "#"),
            "#keycount=3#responseaction=deletefile#result=up#resultstring=File was deleted with success#");
}

// Requests are bytes: a name that is no UTF-8 (Latin-1 here) must reach the file system, the
// started program and the answers exactly as sent, never as a look-alike in which the bytes were
// replaced. The siblings are what a lossy conversion would have hit instead.
TEST_F(AgentChecks, FileActionsAndAnswersCarryTheClientsExactBytes) {
  const std::filesystem::path dir = agent_.Dir();
  const std::string latin1 = "caf\xE9";
  const std::string siblings[] = {
      "caf\xC3\xA9",      // the same name in UTF-8
      "caf\xEF\xBF\xBD",  // U+FFFD where the byte was
      "caf\xED\xB3\xA9",  // the escape U+DCE9 written as three bytes
  };
  for (const std::string& name : siblings) ASSERT_TRUE(testkit::WriteFile(dir / name, "sibling"));
  ASSERT_TRUE(testkit::WriteFile(dir / latin1, "target"));

  const std::string deleted =
      "#keycount=3#responseaction=deletefile#result=up#resultstring=File was deleted with success#";
  EXPECT_EQ(Ask("deletefile", "FileName=" + (dir / latin1).string() + "#"), deleted);
  EXPECT_FALSE(std::filesystem::exists(dir / latin1));
  EXPECT_EQ(Ask("deletefile", "FileName=%tmp%" + latin1 + "#"),
            "#keycount=3#responseaction=deletefile#result=down#resultstring=Error: No such file or directory#");
  for (const std::string& name : siblings) EXPECT_TRUE(std::filesystem::exists(dir / name)) << name;
  // Each sibling is found by its own bytes.
  for (const std::string& name : siblings) {
    EXPECT_EQ(Ask("deletefile", "FileName=%tmp%" + name + "#"), deleted) << name;
    EXPECT_FALSE(std::filesystem::exists(dir / name)) << name;
  }

  // The program gets its argument byte for byte: ill-formed sequences of every kind, next to
  // well-formed ones they could be mistaken for.
  const std::string argument = "caf\xE9|\xC3\xA9|\xED\xB3\xA9|\xC0\xAF|\xE2\x82|\xF4\x90\x80\x80|\x80\xBF|\xEF\xBF\xBD";
  ASSERT_TRUE(testkit::WriteFile(dir / "write-arg.sh", "printf '%s' \"$1\" > \"$2.part\" && mv \"$2.part\" \"$2\"\n"));
  const std::filesystem::path written = dir / "argument-as-received";
  EXPECT_EQ(Ask("executefile", "CommandLine=sh %tmp%write-arg.sh \"" + argument + "\" %tmp%argument-as-received#"),
            "#keycount=3#responseaction=executefile#result=up#resultstring=Execute file started ok#");
  ASSERT_TRUE(PollUntil([&] { return std::filesystem::exists(written); })) << agent_.Log();
  EXPECT_EQ(ReadFile(written), argument);

  // Values echoed in answers come back as they were sent.
  const std::string service = "d\xE6mon\xC0\xAF";
  EXPECT_EQ(RunCheck("checkid=NTSC#Service=" + service + "#"),
            "#keycount=3#responseaction=runcheck#checkid=NTSC#result=down#resultstring=" + service +
                " is not running#");
  const std::string action = "l\xF6schen";
  EXPECT_EQ(Ask(action, ""), "#keycount=2#responseaction=" + action + "#errormessage=Unknown request action#");
  // The length the agent is told and reads counts UTF-16 units: one for a byte that is no text
  // (\xF6), one for a two-byte character, two for a four-byte one. Counted so, the whole record
  // is read, and the log line says as much.
  const std::string mixed = "\xF6|\xC3\xA9|\xF0\x9F\x98\x80|\xF0\x9F\x98";
  EXPECT_EQ(Ask(mixed, ""), "#keycount=2#responseaction=" + mixed + "#errormessage=Unknown request action#");
  const std::string record = "#requestaction=" + mixed + "#sessionid=" + session_ + "#";
  EXPECT_NE(agent_.Log().find("<--- Received from 127.0.0.1, " + std::to_string(record.size() - 1 - 2) +
                              " chars: #requestaction=\\xf6|\xC3\xA9|\xF0\x9F\x98\x80|\\xf0\\x9f\\x98#sessionid=" +
                              session_ + "#\n"),
            std::string::npos)
      << agent_.Log();

  // The log shows such bytes as escapes, so every line of it stays valid UTF-8.
  const std::string log = agent_.Log();
  EXPECT_NE(log.find("FileName=%tmp%caf\\xe9#"), std::string::npos) << log;
  EXPECT_NE(log.find("resultstring=d\\xe6mon\\xc0\\xaf is not running#"), std::string::npos) << log;
  for (size_t i = 0; i < log.size();) {
    const size_t length = utf8::DecodeAt(log, i).length;
    ASSERT_NE(length, 0u) << "byte " << i << " of the log is no UTF-8: " << log.substr(i < 40 ? 0 : i - 40, 80);
    i += length;
  }
}

}  // namespace
}  // namespace vorlane::agent::testing
