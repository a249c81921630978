// The terminal server over SSH, driven as the agent drives it (created by class id, events on
// this test's apartment), with the OpenSSH ssh and sftp clients logging in through sshpass.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/termserver/limits.h"
#include "platform/termserver/tests/idle_clients.h"
#include "platform/termserver/tests/term_server_host.h"
#include "testing/loop_pump.h"
#include "testing/scoped_env.h"
#include "testing/temp_dir.h"

namespace vorlane::termserver {
namespace {

using namespace vorlane::com;
using namespace vorlane::termserver::testing;
using namespace std::chrono_literals;

using testkit::ReadFile;

class TermServerOverSsh : public TermServerHost {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.empty());
    std::filesystem::create_directories(dir_ / "config");
    std::filesystem::create_directories(dir_ / "home");
    temp_.WriteFile("home-sibling/secret.txt", "outside");
    ASSERT_NO_FATAL_FAILURE(TermServerHost::SetUp());
    sink_->sftpHome = (dir_ / "home").string();
    ASSERT_NO_FATAL_FAILURE(Advise(sink_.get()));
    StartOnLoopback(kProtocolSsh);
  }

  std::string SshOptions() const {
    return "-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR "
           "-o PubkeyAuthentication=no -o PreferredAuthentications=password -o NumberOfPasswordPrompts=1 "
           "-o ConnectTimeout=10";
  }

  // Runs a shell command on another thread while this apartment serves the events; returns its
  // standard output and sets *status to its exit status.
  std::string Run(const std::string& command, int* status) {
    std::string output;
    testkit::RunWhilePumping(
        *loop_,
        [&] {
          FILE* pipe = ::popen(command.c_str(), "r");
          if (pipe == nullptr) return;
          char buffer[4096];
          size_t n;
          while ((n = ::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
          *status = ::pclose(pipe);
        },
        60s);
    return output;
  }

  testkit::TempDir temp_{"vorlane-ssh"};
  std::filesystem::path dir_ = temp_.Path();
  testkit::ScopedEnv configDir_{"VORLANE_CONFIG_DIR", (dir_ / "config").string()};
  ComPtr<RecordingSink> sink_ = Make<RecordingSink>();
};

TEST_F(TermServerOverSsh, LoginAndRequestsWithTheOpenSshClient) {
  int status = -1;
  const std::string output =
      Run("printf '#keycount=1#requestaction=agentinfo#\\n' | timeout 30 sshpass -p pw ssh -T " + SshOptions() +
              " -p " + std::to_string(port_) + " monitor@127.0.0.1",
          &status);
  EXPECT_NE(output.find("#keycount=3#responseaction=login#"), std::string::npos) << output;
  EXPECT_NE(output.find("#answer=36#"), std::string::npos) << output;
  const std::vector<std::string> events = sink_->Events();
  ASSERT_GE(events.size(), 5u);
  EXPECT_EQ(events[0], "Connecting");
  EXPECT_EQ(events[1], "LoginPassword:monitor");
  EXPECT_EQ(events[2], "ServiceRequest:1");
  EXPECT_EQ(events[3].rfind("ServiceStart:", 0), 0u);
  EXPECT_EQ(events[4], "Received:#keycount=1#requestaction=agentinfo#");
}

TEST_F(TermServerOverSsh, WrongPasswordIsRefused) {
  int status = -1;
  Run("timeout 30 sshpass -p nope ssh -T " + SshOptions() + " -p " + std::to_string(port_) +
          " monitor@127.0.0.1 </dev/null",
      &status);
  EXPECT_NE(status, 0);
  bool asked = false;
  for (const std::string& event : sink_->Events()) {
    asked |= event == "LoginPassword:monitor";
    EXPECT_EQ(event.rfind("ServiceStart", 0), std::string::npos) << "no service without a login";
  }
  EXPECT_TRUE(asked);
}

TEST_F(TermServerOverSsh, SftpStaysInsideTheHomeFolder) {
  const std::filesystem::path local = dir_ / "upload.bin";
  {
    std::ofstream out(local, std::ios::binary);
    for (int i = 0; i < 100000; ++i) out << static_cast<char>(i * 7);
  }
  ::symlink("/etc", (dir_ / "home" / "etc-link").c_str());
  std::ofstream(dir_ / "batch") << "put " << local.string() << " uploaded.bin\n"
                                << "get uploaded.bin " << (dir_ / "downloaded.bin").string() << "\n"
                                << "-get ../../etc/passwd " << (dir_ / "escape1").string() << "\n"
                                << "-get /etc/passwd " << (dir_ / "escape2").string() << "\n"
                                << "-get etc-link/passwd " << (dir_ / "escape3").string() << "\n"
                                << "-get ../home-sibling/secret.txt " << (dir_ / "escape4").string() << "\n";
  int status = -1;
  const std::string output = Run("timeout 60 sshpass -p pw sftp " + SshOptions() + " -P " + std::to_string(port_) +
                                     " monitor@127.0.0.1 < " + (dir_ / "batch").string() + " 2>&1",
                                 &status);
  const std::string sent = ReadFile(local);
  EXPECT_TRUE(ReadFile(dir_ / "home" / "uploaded.bin") == sent) << "upload differs\n" << output;
  EXPECT_TRUE(ReadFile(dir_ / "downloaded.bin") == sent) << "download differs\n" << output;
  for (const char* escape : {"escape1", "escape2", "escape3", "escape4"}) {
    EXPECT_FALSE(std::filesystem::exists(dir_ / escape)) << escape << "\n" << output;
  }
  bool upload = false, download = false;
  for (const std::string& event : sink_->Events()) {
    upload |= event == "Sftp:10:/uploaded.bin";
    download |= event == "Sftp:9:/uploaded.bin";
  }
  EXPECT_TRUE(upload);
  EXPECT_TRUE(download);
}

// Over SSH as over Telnet: an address with its fill of connections not logged in yet has the
// next one wait, before the version line, for one of them to go, while another address logs in.
TEST_F(TermServerOverSsh, EleventhIdleConnectionFromOneAddressWaitsBeforeTheVersionLine) {
  const std::string flooder = Loopback(2);
  IdleClients idle(port_, kSshGreeting);
  ASSERT_TRUE(testkit::RunWhilePumping(*loop_, [&] {
    idle.Open(flooder, static_cast<int>(kMaxUnauthenticatedPerAddress));
    idle.Open(flooder, 1, 500ms);
  }, 60s));
  EXPECT_EQ(idle.Admitted(), kMaxUnauthenticatedPerAddress);
  EXPECT_EQ(idle.Waiting(), 1u);
  EXPECT_EQ(idle.Refused(), 0);
  EXPECT_EQ(idle.Failed(), 0);

  const std::string login = "printf '#keycount=1#requestaction=agentinfo#\\n' | timeout 30 sshpass -p pw ssh -T " +
                            SshOptions() + " -p " + std::to_string(port_);
  int status = -1;
  std::string output = Run(login + " monitor@127.0.0.1", &status);
  EXPECT_NE(output.find("#keycount=3#responseaction=login#"), std::string::npos) << output;

  // One idle connection hangs up: the waiting one gets its version line; another hangs up, and
  // the address logs in.
  idle.CloseOne();
  ASSERT_TRUE(testkit::RunWhilePumping(*loop_, [&] { idle.Settle(10s); }, 30s));
  EXPECT_EQ(idle.Admitted(), kMaxUnauthenticatedPerAddress);
  EXPECT_EQ(idle.Waiting(), 0u);
  idle.CloseOne();
  output = Run(login + " -b " + flooder + " monitor@127.0.0.1", &status);
  EXPECT_NE(output.find("#keycount=3#responseaction=login#"), std::string::npos) << output;
}

}  // namespace
}  // namespace vorlane::termserver
