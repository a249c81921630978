// The TCP check end to end: the real program asked over Telnet, holding dialogues through the
// real TCP check component and TCP client control with servers the test starts on loopback:
// small scripted peers, OpenSSH's sshd and tinyproxy, each with a configuration of the test's own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
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

TEST_F(AgentTcp, RealServersAnswerTheirDialogues) {
  if (::access(kSshd, X_OK) != 0) GTEST_SKIP() << "sshd is not installed (Debian package openssh-server)";
  if (::access(tcpclient::testing::kTinyproxy, X_OK) != 0) GTEST_SKIP() << "tinyproxy is not installed";
  testkit::TempDir dir("vorlane-tcp-peers");
  // OpenSSH's server with a host key of its own: it greets with "SSH-2.0-".
  const uint16_t sshPort = static_cast<uint16_t>(FreePort());
  const std::string folder = dir.Path().string();
  const testkit::ProgramRun keygen =
      testkit::RunProgram({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", folder + "/host_key"});
  ASSERT_EQ(keygen.exitStatus, 0) << keygen.err;
  ::mkdir("/run/sshd", 0755);
  testkit::WriteFile(dir.Path() / "sshd_config", "Port " + std::to_string(sshPort) + "\nListenAddress 127.0.0.1\nHostKey " +
                                            folder + "/host_key\nPidFile " + folder +
                                            "/sshd.pid\nUsePAM no\nStrictModes no\nPasswordAuthentication no\n");
  tcpclient::testing::ProxyProcess sshd({kSshd, "-D", "-e", "-f", folder + "/sshd_config"}, dir.Path() / "sshd.log",
                                        std::nullopt);
  ASSERT_TRUE(sshd.WaitReady(sshPort)) << sshd.Log();
  // tinyproxy answers an HTTP request of its own with a status line.
  const uint16_t proxyPort = static_cast<uint16_t>(FreePort());
  auto proxy = tcpclient::testing::StartTinyproxy(dir, proxyPort, false, {});
  ASSERT_TRUE(proxy && proxy->WaitReady(proxyPort));

  WriteTable("[SSH]\r\nDPORT=" + std::to_string(sshPort) + "\r\nPROC=SSH-2.0-\r\nPROCC=2\r\n" +
             "[HTTP]\r\nDPORT=" + std::to_string(proxyPort) +
             "\r\nPSOC=GET / HTTP/1.0\\x0D\\x0A\\x0D\\x0A\r\nPRAR=HTTP/1.\r\nPRARC=2\r\n");
  const std::string ssh = Check("SSH:" + std::to_string(sshPort), "0");
  EXPECT_TRUE(ssh.starts_with(std::string(kUp) + "127.0.0.1 (SSH on port " + std::to_string(sshPort) +
                              "): Connection possible and received expected data"))
      << ssh << agent_.Log();
  EXPECT_NE(ssh.find("SSH-2.0-OpenSSH"), std::string::npos) << ssh;
  const std::string http = Check("HTTP", "0");
  EXPECT_TRUE(http.starts_with(std::string(kUp) + "127.0.0.1 (HTTP on port " + std::to_string(proxyPort) +
                               "): Connection possible and received expected data"))
      << http << agent_.Log();
}

}  // namespace
}  // namespace vorlane::agent::testing
