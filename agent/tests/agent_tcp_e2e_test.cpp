// The TCP check end to end: the real program asked over Telnet, holding dialogues through the
// real TCP check component and TCP client control with servers the test starts on loopback:
// small scripted peers, and OpenSSH's sshd, aiosmtpd, dovecot, vsftpd and tinyproxy, each with a
// configuration of the test's own, holding the dialogues of the shipped protocol table.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "agent/tests/agent_answers.h"
#include "agent/tests/agent_process.h"
#include "tcpclient/tests/proxy_servers.h"
#include "testing/peer_server.h"
#include "testing/run_program.h"

namespace vorlane::agent::testing {
namespace {

using namespace std::chrono_literals;
using testkit::PeerConnection;
using testkit::PeerServer;

constexpr std::string_view kUp = "#keycount=3#responseaction=runcheck#checkid=TCP#result=up#resultstring=";
constexpr std::string_view kDown = "#keycount=3#responseaction=runcheck#checkid=TCP#result=down#resultstring=";
constexpr char kSshd[] = "/usr/sbin/sshd";

// Sends `greeting` and holds the connection until the client closes it.
PeerServer::Behaviour Greets(std::string greeting, std::chrono::milliseconds pause = 0ms) {
  return [greeting, pause](PeerConnection& connection) {
    if (pause > 0ms) connection.WaitForRelease(pause);
    connection.Send(greeting);
    connection.WaitForClientClose();
  };
}

// The response time of an answer, or -1 when it has none.
long long ResponseTime(const std::string& answer) {
  const size_t key = answer.rfind("@@RTO=");
  if (key == std::string::npos) return -1;
  return std::atoll(answer.c_str() + key + 6);
}

class AgentTcp : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(agent_.Start());
  }
  void TearDown() override { EXPECT_EQ(agent_.Stop(), 0) << agent_.Log(); }

  // The protocol table, read anew by every check.
  void WriteTable(const std::string& text) { testkit::WriteFile(agent_.Dir() / "TCPConfig.INI", text); }

  std::string Check(const std::string& protocol, const std::string& port, const std::string& timeout = "5",
                    const std::string& host = "127.0.0.1") {
    std::string parameters = "checkid=TCP#Hostname=" + host + "#Protocol=" + protocol + "#Port=" + port + "#";
    if (!timeout.empty()) parameters += "Timeout (sec.)=" + timeout + "#";
    return agent_.Request("runcheck", parameters, 30s);
  }

  LoggedInAgent agent_;
};

TEST_F(AgentTcp, TheProtocolTableDecidesTheDialogue) {
  PeerServer greeter(Greets("220 ready #1 for you\r\n"));
  PeerServer slow(Greets("220 slow\r\n", 300ms));
  PeerServer answerer([](PeerConnection& connection) {
    if (connection.Receive().find("HELO agent") != std::string::npos) connection.Send("250 hello there\r\n");
    connection.WaitForClientClose();
  });
  ASSERT_TRUE(greeter.ok() && slow.ok() && answerer.ok());
  const std::string closed = std::to_string(testkit::ClosedPort());
  const std::string greeterPort = std::to_string(greeter.port());
  WriteTable("[Plain]\r\nDPORT=" + greeterPort + "\r\n" +                                          //
             "[Closed]\r\nDPORT=" + closed + "\r\n" +                                              //
             "[SMTP]\r\nDPORT=" + greeterPort + "\r\nPROC=220\r\nPROCC=2\r\n" +                    //
             "[Wrong]\r\nDPORT=" + greeterPort + "\r\nPROC=421\r\nPROCC=2\r\n" +                   //
             "[Slow]\r\nDPORT=" + std::to_string(slow.port()) + "\r\nPROC=220\r\nPROCC=2\r\n" +    //
             "[Talk]\r\nDPORT=" + std::to_string(answerer.port()) +
             "\r\nPSOC=HELO agent\\x0D\\x0A\r\nPRAR=250\r\nPRARC=2\r\n" +  //
             "[A:B]\r\nDPORT=" + greeterPort + "\r\n" +                     //
             "[NoPort]\r\nPROC=220\r\n");

  struct Case {
    const char* name;
    std::string protocol;
    std::string port;
    std::string expected;  // the answer with its response time left empty
  };
  const std::string on = " on port ";
  const Case cases[] = {
      {"only a port: the connection is enough", "Plain:" + greeterPort, "0",
       std::string(kUp) + "127.0.0.1 (Plain" + on + greeterPort + "): Connection possible@@RTO=#"},
      {"a port nothing listens on", "Closed:1", "",
       std::string(kDown) + "127.0.0.1 (Closed" + on + closed + "): Connection not possible@@RTO=#"},
      {"the request's port wins over the table's", "Closed", greeterPort,
       std::string(kUp) + "127.0.0.1 (Closed" + on + greeterPort + "): Connection possible@@RTO=#"},
      {"a two-colon protocol keeps all before the last", "A:B:25", "0",
       std::string(kUp) + "127.0.0.1 (A:B" + on + greeterPort + "): Connection possible@@RTO=#"},
      {"no section of that name", "A", "0",
       "#keycount=3#responseaction=runcheck#checkid=TCP#errormessage=Could not get data for protocol from the INI "
       "file!#"},
      {"no port anywhere", "NoPort:0", "0",
       "#keycount=3#responseaction=runcheck#checkid=TCP#errormessage=Can't check NoPort on port 0!#"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(WithoutRoundTripValue(Check(c.protocol, c.port)), c.expected) << agent_.Log();
  }

  // A name with a NUL inside names no section and no host, never the part before the NUL; the
  // host stands in the answer as answer text.
  EXPECT_EQ(Check(std::string("Plain\0x", 7), "0"),
            "#keycount=3#responseaction=runcheck#checkid=TCP#errormessage=Could not get data for protocol from the INI "
            "file!#");
  EXPECT_EQ(WithoutRoundTripValue(Check("Plain", "0", "5", std::string("127.0.0.1\0x", 11))),
            std::string(kDown) + "127.0.0.1 x (Plain" + on + greeterPort + "): @@RTO=#")
      << agent_.Log();

  // The greeting, whose '#' would have forged a pair, comes with a space in its place.
  const std::string expected = Check("SMTP:25", "0");
  EXPECT_TRUE(expected.starts_with(std::string(kUp) + "127.0.0.1 (SMTP" + on + greeterPort +
                                   "): Connection possible and received expected data"))
      << expected;
  EXPECT_NE(expected.find("220 ready  1 for you"), std::string::npos) << expected;
  EXPECT_EQ(expected.find('#', kUp.size()), expected.size() - 1) << expected;
  const std::string wrong = Check("Wrong", "0");
  EXPECT_TRUE(wrong.starts_with(std::string(kDown) + "127.0.0.1 (Wrong" + on + greeterPort +
                                "): Connection possible, but received data not correct (220 ready  1 for you"))
      << wrong;
  const std::string talk = Check("Talk", "0");
  EXPECT_TRUE(talk.starts_with(std::string(kUp) + "127.0.0.1 (Talk" + on + std::to_string(answerer.port()) +
                               "): Connection possible and received expected data"))
      << talk;
  // The job's end event wakes the check: a loopback dialogue reports well below the half second
  // after which the check would ask the job whether it still runs.
  EXPECT_LT(ResponseTime(talk), 250) << talk;

  // The response time runs from the start of the job to its end: here the greeting's delay.
  const std::string late = Check("Slow", "0");
  ASSERT_TRUE(late.starts_with(kUp)) << late;
  EXPECT_GE(ResponseTime(late), 300) << late;
  EXPECT_LT(ResponseTime(late), 5000) << late;

  // Without a timeout the job is refused and never runs.
  const std::string refused = Check("SMTP", "0", "");
  EXPECT_EQ(WithoutRoundTripValue(refused),
            std::string(kDown) + "127.0.0.1 (SMTP" + on + greeterPort + "): @@RTO=#");
  EXPECT_LT(ResponseTime(refused), 1000) << refused;
}

TEST_F(AgentTcp, TheShippedTableEndsEveryDialoguePolitelyWithRealServersAndScriptedPeers) {
  for (const char* program : {kSshd, tcpclient::testing::kTinyproxy, "/usr/sbin/dovecot", "/usr/sbin/vsftpd",
                              "/usr/lib/python3/dist-packages/aiosmtpd/__main__.py"}) {
    if (::access(program, F_OK) != 0) GTEST_SKIP() << program << " is not installed (scripts/install-deps.sh)";
  }
  testkit::TempDir dir("vorlane-tcp-servers");
  ::chmod(dir.Path().c_str(), 0755);  // dovecot's login processes run as its own user
  const std::string at = dir.Path().string() + "/";
  // Servers of Debian: their section of the shipped table, a port, words of theirs for the result.
  struct Server { const char* protocol; const char* words; std::string port = std::to_string(FreePort()); };
  Server smtp{"SMTP", "Python SMTP"}, imap{"IMAP", "* OK [CAPABILITY IMAP4rev1"}, pop3{"POP3", "+OK Dovecot"},
      ftp{"FTP", "220-Vorlane test banner  220-its second line  220 "}, ssh{"SSH", "SSH-2.0-OpenSSH_"}, http{"HTTP", ""};
  std::vector<std::unique_ptr<tcpclient::testing::ProxyProcess>> servers;
  auto start = [&](std::vector<std::string> argv, std::vector<const Server*> serving) {
    servers.push_back(std::make_unique<tcpclient::testing::ProxyProcess>(argv, dir / (serving[0]->protocol), std::nullopt));
    return std::all_of(serving.begin(), serving.end(),
                       [&](const Server* s) { return servers.back()->WaitReady(std::stoi(s->port)); });
  };
  ASSERT_TRUE(start({"/usr/bin/python3", "-m", "aiosmtpd", "-n", "-l", "127.0.0.1:" + smtp.port}, {&smtp}));
  auto login = [](const std::string& name, const std::string& port) {
    return "service " + name + "-login {\n process_min_avail = 1\n inet_listener " + name + " {\n  port = " + port +
           "\n }\n inet_listener " + name + "s {\n  port = 0\n }\n}\n";
  };
  dir.WriteFile("dovecot.conf", "base_dir = " + at + "dovecot\nstate_dir = " + at + "state\nlog_path = " + at +
                                    "dovecot.log\nprotocols = imap pop3\nlisten = 127.0.0.1\nssl = no\npassdb {\n"
                                    " driver = static\n args = nopassword\n}\nuserdb {\n driver = static\n"
                                    " args = uid=nobody gid=nogroup\n}\n" + login("imap", imap.port) +
                                    login("pop3", pop3.port));
  ASSERT_TRUE(start({"/usr/sbin/dovecot", "-F", "-c", at + "dovecot.conf"}, {&imap, &pop3}));
  // A banner of two lines: vsftpd greets with a multi-line reply.
  dir.WriteFile("banner", "Vorlane test banner\nits second line\n");
  std::filesystem::create_directories(dir / "empty");
  dir.WriteFile("vsftpd.conf", "listen=YES\nlisten_address=127.0.0.1\nlisten_port=" + ftp.port +
                                   "\nbackground=NO\nanonymous_enable=YES\nno_anon_password=YES\nbanner_file=" + at +
                                   "banner\nsecure_chroot_dir=" + at + "empty\nanon_root=" + at +
                                   "empty\nseccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\nlog_ftp_protocol=YES\n"
                                   "xferlog_enable=YES\nvsftpd_log_file=" + at + "ftp.log\n");
  ASSERT_TRUE(start({"/usr/sbin/vsftpd", at + "vsftpd.conf"}, {&ftp}));
  ASSERT_EQ(testkit::RunProgram({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", at + "key"}).exitStatus, 0);
  ::mkdir("/run/sshd", 0755);
  dir.WriteFile("sshd_config", "Port " + ssh.port + "\nListenAddress 127.0.0.1\nHostKey " + at + "key\nPidFile " + at +
                                   "sshd.pid\nUsePAM no\nUseDNS no\n");
  ASSERT_TRUE(start({kSshd, "-D", "-e", "-f", at + "sshd_config"}, {&ssh}));
  servers.push_back(tcpclient::testing::StartTinyproxy(dir, std::stoi(http.port), false, {}));  // answers HEAD itself
  ASSERT_TRUE(servers.back() && servers.back()->WaitReady(std::stoi(http.port)));

  // Our own line server: a greeting in two segments 50 ms apart, and a close without a word after QUIT.
  PeerServer split([](PeerConnection& connection) {
    connection.Send("220 split");
    (void)connection.WaitForRelease(50ms);
    connection.Send(" greeting\r\n");
    std::string received;
    for (int round = 0; round < 100 && !connection.Closed() && !received.ends_with("QUIT\r\n"); ++round) {
      received += connection.Receive();
      if (received.ends_with("NOOP\r\n")) connection.Send("250 ok\r\n");
    }
  });
  ASSERT_TRUE(split.ok());
  const std::string dialogue = "\r\nPSOC=NOOP\\x0D\\x0A\r\nPSOD=QUIT\r\nPWOD=1\r\n";
  WriteTable(testkit::ReadFile(VORLANE_SHIPPED_TCP_TABLE) + "\r\n[Contains]\r\nPROC=split greeting\r\nPROCC=2\r\n" +
             "PRAR=250 ok\r\nPRARC=3" + dialogue + "[Equals]\r\nPROC=220 split greeting\r\nPROCC=3\r\nPRAR=250" + dialogue);

  for (const Server* server : {&smtp, &imap, &pop3, &ftp, &ssh, &http}) {
    const std::string answer = Check(server->protocol, server->port);
    EXPECT_TRUE(answer.starts_with(std::string(kUp) + "127.0.0.1 (" + server->protocol + " on port " + server->port +
                                   "): Connection possible and received expected data"))
        << answer << agent_.Log();
    EXPECT_NE(answer.find(server->words), std::string::npos) << answer;
    // Far below the 5 s a wait for a word that never comes would take, and clear of a loaded
    // two-core machine (an HTTP answer through the proxy was seen at 128 ms there).
    EXPECT_LT(ResponseTime(answer), 500) << answer;
  }
  // The servers heard the closing lines: the dialogues ended as their protocols end them.
  for (const auto& [log, words] : {std::pair{"dovecot.log", "Aborted login by logging out"}, {"ftp.log", "\"QUIT\""}}) {
    EXPECT_TRUE(PollUntil([&] { return ReadFile(dir / log).find(words) != std::string::npos; }, 10s)) << ReadFile(dir / log);
  }
  for (const std::string protocol : {"Contains", "Equals"}) {
    const std::string answer = Check(protocol, std::to_string(split.port()));
    EXPECT_TRUE(answer.starts_with(kUp) && answer.ends_with("Connection possible and received expected data (220 split "
                                                            "greeting)@@RTO=" + std::to_string(ResponseTime(answer)) + "#"))
        << answer;
    EXPECT_LT(ResponseTime(answer), 1000) << "the close after QUIT ends the wait: " << answer;
  }
}

}  // namespace
}  // namespace vorlane::agent::testing
