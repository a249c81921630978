// check_vorlane against the real agent over Telnet and SSH: what a monitoring system sees of
// each kind of answer, and that a plugin run that cannot be answered ends UNKNOWN within -t.
#include <gtest/gtest.h>

#include "agent/tests/agent_process.h"
#include "testing/http_peer.h"
#include "testing/peer_server.h"
#include "testing/run_program.h"
#include "testing/temp_dir.h"

namespace vorlane::agent::testing {
namespace {

using testkit::HttpPage;
using testkit::HttpPeer;
using testkit::PeerConnection;
using testkit::PeerServer;

// Runs the plugin against 127.0.0.1:`port` as the agent's user.
testkit::ProgramRun Plugin(int port, std::vector<std::string> args, const std::string& password = LoggedInAgent::kPassword,
                           const char* protocol = "--telnet") {
  std::vector<std::string> argv = {CHECK_VORLANE_BINARY, "-H", "127.0.0.1", protocol, "-p", std::to_string(port),
                                   "-u", LoggedInAgent::kUser, "-t", "8"};
  argv.insert(argv.end(), args.begin(), args.end());
  return testkit::RunProgram(argv, "", {"VORLANE_PASSWORD=" + password}, 20s);
}

TEST(CheckVorlane, AnswersOverTelnetAsMonitoringSystemsReadThem) {
  LoggedInAgent agent;
  ASSERT_TRUE(agent.Start());
  PeerServer greeter([](PeerConnection& connection) {
    connection.Send("220 plugin peer ready\r\n");
    connection.WaitForClientClose(5s);
  });
  testkit::WriteFile(agent.Dir() / "TCPConfig.INI", "[GREET]\r\nDPORT=25\r\nPROC=220\r\nPROCC=2\r\nPWOD=1\r\n");
  HttpPeer web({{"/fast", HttpPage{.body = "all systems go"}},
                {"/slow", HttpPage{.body = "all systems go", .delay = 1200ms}},
                {"/private", HttpPage{.body = "members only", .auth = HttpPage::Auth::kBasic}}});
  const std::string url = "Content check type=should contain";

  struct Row {
    std::vector<std::string> args;
    int exit;
    std::string lineStart;
    bool perfdata;
  };
  const Row rows[] = {
      {{"DC", "Drive letter=/", "Value=1", "Unit=bytes"}, 0, "VORLANE DC OK - ", false},
      {{"DC", "Drive letter=/", "Value=10000", "Unit=tb"}, 2, "VORLANE DC CRITICAL - ", false},
      // The type names the count that is down.
      {{"NTPC", "Process name=vorlane", "Type=less than", "Number=1"}, 0, "VORLANE NTPC OK - ", false},
      {{"NTPC", "Process name=vorlane", "Type=at least", "Number=1"}, 2, "VORLANE NTPC CRITICAL - ", false},
      {{"PING", "Hostname=127.0.0.1", "Timeout (sec.)=2"}, 0, "VORLANE PING OK - ", true},
      {{"TCP", "Protocol=GREET", "Port=" + std::to_string(greeter.port()), "Hostname=127.0.0.1", "Timeout (sec.)=5"},
       0, "VORLANE TCP OK - ", true},
      {{"-w", "5", "URL", "URL=" + web.Url("/fast"), url, "Words=all words", "Content to check for=systems"}, 0,
       "VORLANE URL OK - ", true},
      {{"-w", "1", "URL", "URL=" + web.Url("/slow"), url, "Words=all words", "Content to check for=systems"}, 1,
       "VORLANE URL WARNING - ", true},
      {{"-w", "0.1", "-c", "1", "URL", "URL=" + web.Url("/slow")}, 2, "VORLANE URL CRITICAL - ", true},
      // The secret goes encoded, or the page would refuse the agent.
      {{"URL", "URL=" + web.Url("/private"), "Use authentication for URL=true",
        std::string("Username for URL=") + testkit::kHttpPageUser,
        std::string("*Password for URL=") + testkit::kHttpPagePassword, url, "Words=any word",
        "Content to check for=members"},
       0, "VORLANE URL OK - ", true},
      {{"NOSUCH"}, 3, "VORLANE NOSUCH UNKNOWN - Unknown check", false},
  };
  for (const Row& row : rows) {
    const testkit::ProgramRun run = Plugin(agent.Port(), row.args);
    SCOPED_TRACE(row.lineStart + " " + run.out + run.err);
    EXPECT_EQ(run.exitStatus, row.exit);
    EXPECT_EQ(run.out.rfind(row.lineStart, 0), 0u);
    // One line; performance data by the plugins' format when the agent timed the check.
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1);
    EXPECT_EQ(run.out.find("|time=") != std::string::npos, row.perfdata);
    EXPECT_EQ(run.out.find("@@RTO"), std::string::npos);
  }
  EXPECT_NE(web.Requests().back().find("Authorization: Basic"), std::string::npos);

  const testkit::ProgramRun refused = Plugin(agent.Port(), {"DC"}, "wrong");
  EXPECT_EQ(refused.exitStatus, 3);
  EXPECT_EQ(refused.out, "VORLANE DC UNKNOWN - login refused\n");
  EXPECT_EQ(refused.out.find("wrong"), std::string::npos);

  const testkit::ProgramRun list = Plugin(agent.Port(), {"--list", "DC"});
  EXPECT_EQ(list.exitStatus, 0);
  EXPECT_NE(list.out.find("'Unit'  one of: bytes | kb | mb | gb | tb | %"), std::string::npos) << list.out;
  // Each plugin run logged out: no session is left behind.
  EXPECT_EQ(agent.Log().find("Unknown session"), std::string::npos);
  EXPECT_EQ(agent.Stop(), 0);
}

TEST(CheckVorlane, OverSshAndAgainstNoAgentOrASilentOne) {
  const int port = FreePort();
  testkit::AgentProcess agent;
  agent.WriteConfig(Config("SSH", port, User("Operators", LoggedInAgent::kUser, LoggedInAgent::kPassword)));
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(agent.WaitForLog("Server started!")) << agent.Log();
  const testkit::ProgramRun up =
      Plugin(port, {"DC", "Drive letter=/", "Value=1", "Unit=bytes"}, LoggedInAgent::kPassword, "--ssh");
  EXPECT_EQ(up.exitStatus, 0) << up.out << up.err;
  EXPECT_EQ(up.out.rfind("VORLANE DC OK - ", 0), 0u) << up.out;
  const testkit::ProgramRun refused = Plugin(port, {"DC"}, "wrong", "--ssh");
  EXPECT_EQ(refused.exitStatus, 3);
  EXPECT_EQ(refused.out.rfind("VORLANE DC UNKNOWN - ", 0), 0u) << refused.out;
  EXPECT_EQ(agent.Stop(), 0);

  // Nobody listens any more; then a peer that accepts and never speaks holds the plugin until
  // its -t of 2 s (the run's own limit of 20 s would fail the test first if -t did not hold).
  const testkit::ProgramRun none = Plugin(port, {"DC"});
  EXPECT_EQ(none.exitStatus, 3);
  EXPECT_EQ(none.out.rfind("VORLANE DC UNKNOWN - ", 0), 0u) << none.out;
  PeerServer silent([](PeerConnection& connection) { connection.WaitForClientClose(15s); });
  const testkit::ProgramRun held = testkit::RunProgram(
      {CHECK_VORLANE_BINARY, "-H", "127.0.0.1", "--telnet", "-p", std::to_string(silent.port()), "-u", "monitor", "-t",
       "2", "DC"},
      "", {"VORLANE_PASSWORD=pw"}, 10s);
  EXPECT_EQ(held.exitStatus, 3);
  EXPECT_EQ(held.out.rfind("VORLANE DC UNKNOWN - ", 0), 0u) << held.out;
  EXPECT_NE(held.out.find("within 2 s"), std::string::npos) << held.out;

  // A peer that prompts in a flood, then answers the login with more than any agent's answer:
  // the plugin keeps a bounded text and gives up with UNKNOWN rather than reading on.
  PeerServer flood([](PeerConnection& connection) {
    const std::string noise(256 * 1024, 'x');
    if (!connection.Send(noise + "login: ") || connection.Receive(5s).empty()) return;
    if (!connection.Send("Password: ") || connection.Receive(5s).empty()) return;
    connection.Send("#");
    for (int i = 0; i < 20 && connection.Send(noise); ++i) {
    }
    connection.WaitForClientClose(5s);
  });
  const testkit::ProgramRun flooded = Plugin(flood.port(), {"DC"}, "pw");
  EXPECT_EQ(flooded.exitStatus, 3);
  EXPECT_NE(flooded.out.find("longer than 4194304 bytes"), std::string::npos) << flooded.out.substr(0, 200);
}

}  // namespace
}  // namespace vorlane::agent::testing

namespace vorlane::agent::testing {
namespace {

// The value of `key` in the status block of service `service` in a Nagios status.dat, or "".
std::string ServiceStatus(const std::string& status, const std::string& service, const std::string& key) {
  for (size_t at = status.find("servicestatus {"); at != std::string::npos;
       at = status.find("servicestatus {", at + 1)) {
    const std::string block = status.substr(at, status.find('}', at) - at);
    if (block.find("\tservice_description=" + service + "\n") == std::string::npos) continue;
    const size_t field = block.find("\t" + key + "=");
    if (field == std::string::npos) return "";
    const size_t start = field + key.size() + 2;
    return block.substr(start, block.find('\n', start) - start);
  }
  return "";
}

// A Nagios 4 core polls the agent through the plugin: one host, a service that is up and one
// that is down, each checked every second; status.dat shows OK and CRITICAL as the agent said.
TEST(CheckVorlane, NagiosCoreShowsTheAgentsAnswers) {
  constexpr char kNagios[] = "/usr/sbin/nagios4";
  if (!std::filesystem::exists(kNagios)) GTEST_SKIP() << "nagios4-core is not installed (scripts/install-deps.sh)";
  LoggedInAgent agent;
  ASSERT_TRUE(agent.Start());
  const testkit::TempDir dir("vorlane-nagios");
  const std::string at = dir.Path().string() + "/";
  std::filesystem::create_directory(dir.Path() / "results");
  dir.WriteFile("password", std::string(LoggedInAgent::kPassword) + "\n");
  std::filesystem::permissions(dir.Path() / "password", std::filesystem::perms::owner_read);
  std::string main;
  for (const char* file : {"log_file=nagios.log", "cfg_file=objects.cfg", "object_cache_file=objects.cache",
                           "precached_object_file=objects.precache", "status_file=status.dat", "temp_file=nagios.tmp",
                           "temp_path=.", "lock_file=nagios.lock", "command_file=nagios.cmd",
                           "query_socket=nagios.qh", "state_retention_file=retention.dat",
                           "check_result_path=results"}) {
    const std::string line = file;
    const size_t equals = line.find('=') + 1;
    main += line.substr(0, equals) + (line.substr(equals) == "." ? dir.Path().string() : at + line.substr(equals)) + "\n";
  }
  // Every check at once and every second, as root, with nothing sent or kept.
  main += "nagios_user=root\nnagios_group=root\ninterval_length=1\nstatus_update_interval=1\nuse_syslog=0\n"
          "check_external_commands=0\nretain_state_information=0\nenable_notifications=0\n"
          "enable_flap_detection=0\ncheck_result_reaper_frequency=1\nservice_inter_check_delay_method=n\n"
          "host_inter_check_delay_method=n\nmax_service_check_spread=1\nmax_host_check_spread=1\n";
  dir.WriteFile("nagios.cfg", main);
  const std::string always = "sunday 00:00-24:00\nmonday 00:00-24:00\ntuesday 00:00-24:00\n"
                             "wednesday 00:00-24:00\nthursday 00:00-24:00\nfriday 00:00-24:00\n"
                             "saturday 00:00-24:00\n";
  const std::string common = "max_check_attempts 1\ncheck_interval 1\nretry_interval 1\ncheck_period always\n"
                             "notification_period always\ncontacts nobody\n";
  // The command and service definitions as the README gives them.
  dir.WriteFile("objects.cfg",
                "define timeperiod {\ntimeperiod_name always\nalias always\n" + always + "}\n"
                "define command {\ncommand_name none\ncommand_line /bin/true\n}\n"
                "define contact {\ncontact_name nobody\nhost_notifications_enabled 0\n"
                "service_notifications_enabled 0\nhost_notification_period always\n"
                "service_notification_period always\nhost_notification_options n\n"
                "service_notification_options n\nhost_notification_commands none\n"
                "service_notification_commands none\n}\n"
                "define command {\ncommand_name check_vorlane\ncommand_line " CHECK_VORLANE_BINARY
                " -H $HOSTADDRESS$ --telnet -p " + std::to_string(agent.Port()) + " -u " + LoggedInAgent::kUser +
                " --password-file " + at + "password $ARG1$\n}\n"
                "define host {\nhost_name agent1\naddress 127.0.0.1\ncheck_command none\n" + common + "}\n"
                "define service {\nhost_name agent1\nservice_description root-has-space\n"
                "check_command check_vorlane!DC 'Drive letter=/' 'Value=1' 'Unit=bytes'\n" + common + "}\n"
                "define service {\nhost_name agent1\nservice_description root-has-10000-tb\n"
                "check_command check_vorlane!DC 'Drive letter=/' 'Value=10000' 'Unit=tb'\n" + common + "}\n");

  auto checked = [&] {
    const std::string status = testkit::ReadFile(dir.Path() / "status.dat");
    return ServiceStatus(status, "root-has-space", "has_been_checked") == "1" &&
           ServiceStatus(status, "root-has-10000-tb", "has_been_checked") == "1";
  };
  std::string status;
  const testkit::ProgramRun nagios = testkit::RunProgramUntil(
      {kNagios, at + "nagios.cfg"},
      [&] {
        if (!checked()) return false;
        status = testkit::ReadFile(dir.Path() / "status.dat");
        return true;
      },
      {}, 60s);
  ASSERT_TRUE(nagios.stopped) << nagios.out << nagios.err << testkit::ReadFile(dir.Path() / "nagios.log");
  EXPECT_EQ(ServiceStatus(status, "root-has-space", "current_state"), "0");
  EXPECT_EQ(ServiceStatus(status, "root-has-space", "plugin_output").rfind("VORLANE DC OK - ", 0), 0u) << status;
  EXPECT_EQ(ServiceStatus(status, "root-has-10000-tb", "current_state"), "2");
  EXPECT_EQ(ServiceStatus(status, "root-has-10000-tb", "plugin_output").rfind("VORLANE DC CRITICAL - ", 0), 0u)
      << status;
  EXPECT_EQ(agent.Stop(), 0);
}

}  // namespace
}  // namespace vorlane::agent::testing
