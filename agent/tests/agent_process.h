// The agent's end-to-end tests: the program launcher and Telnet client of the shared test
// support, and the configuration texts the tests start the agent with.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cipher/password.h"
#include "testing/agent_process.h"
#include "testing/poll_until.h"
#include "testing/telnet_client.h"
#include "testing/temp_dir.h"

namespace vorlane::agent::testing {

using namespace std::chrono_literals;
using testkit::AgentProcess;
using testkit::FreePort;
using testkit::PollUntil;
using testkit::ReadFile;
using testkit::TelnetClient;

// AgentConfig.INI with the general section for `protocol` on 127.0.0.1, Port written as `port`,
// then `users`.
inline std::string Config(const std::string& protocol, const std::string& port, const std::string& users) {
  return "[GeneralInfo]\r\nProtocol=" + protocol + "\r\nPort=" + port + "\r\nBindIP=127.0.0.1\r\n" + users;
}
inline std::string Config(const std::string& protocol, int port, const std::string& users) {
  return Config(protocol, std::to_string(port), users);
}

// One user section with the password stored as the agent keeps it.
inline std::string User(const std::string& section, const std::string& name, const std::string& password,
                        const std::string& range = "") {
  return "[" + section + "]\r\nUserName=" + name + "\r\nPassword=" + cipher::EncipherPassword(password) +
         "\r\nRange=" + range + "\r\n";
}

// The OpenSSH client logging in with a password (monitor and pw unless told), no configuration
// or known host file of the machine taking part; `seconds` ends it whatever happens (a third of
// them for its connection and the server's version line).
inline std::string SshClientCommand(int port, const std::string& host = "127.0.0.1",
                                    const std::string& user = "monitor", const std::string& password = "pw",
                                    int seconds = 30) {
  return "timeout " + std::to_string(seconds) + " sshpass -p " + password +
         " ssh -T -F /dev/null -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null "
         "-o LogLevel=ERROR -o PubkeyAuthentication=no -o PreferredAuthentications=password "
         "-o NumberOfPasswordPrompts=1 -o ConnectTimeout=" +
         std::to_string(seconds / 3) + " -p " + std::to_string(port) + " " + user + "@" + host;
}

// The agent on Telnet with one user, and a Telnet client logged in as that user: where the
// checks' end-to-end tests start from.
class LoggedInAgent {
 public:
  static constexpr char kUser[] = "monitor";
  static constexpr char kPassword[] = "Secret-16chars!!";

  // Starts the agent with `extraEnv` added to its environment and `general` (lines ending in
  // "\r\n") added to its general settings, waits for it to serve and logs in.
  ::testing::AssertionResult Start(const std::vector<std::string>& extraEnv = {}, const std::string& general = "") {
    port_ = FreePort();
    process_.WriteConfig(Config("telnet", port_, general + User("Operators", kUser, kPassword)));
    if (!process_.Start({"/console"}, extraEnv)) return ::testing::AssertionFailure() << "the agent did not start";
    started_ = true;
    if (!process_.WaitForLog("Server started!")) return ::testing::AssertionFailure() << process_.Log();
    client_ = std::make_unique<TelnetClient>(port_);
    session_ = client_->Login(kUser, kPassword);
    if (session_.empty()) return ::testing::AssertionFailure() << "no login: " << process_.Log();
    return ::testing::AssertionSuccess();
  }
  // Stops the agent if Start started it: its exit status, 0 when it never ran.
  int Stop() { return started_ ? process_.Stop() : 0; }

  // Sends "#requestaction=<action>#sessionid=<session>#<parameters>" and waits up to `wait` for
  // the answer.
  std::string Request(const std::string& action, const std::string& parameters,
                      std::chrono::milliseconds wait = std::chrono::seconds(20)) {
    return client_->Request("#requestaction=" + action + "#sessionid=" + session_ + "#" + parameters, wait);
  }

  std::string Log() const { return process_.Log(); }
  const std::filesystem::path& Dir() const { return process_.Dir(); }
  int Port() const { return port_; }

 private:
  AgentProcess process_;
  bool started_ = false;
  int port_ = 0;
  std::unique_ptr<TelnetClient> client_;
  std::string session_;
};

}  // namespace vorlane::agent::testing
