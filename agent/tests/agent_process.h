// The agent's end-to-end tests: the program launcher and Telnet client of the shared test
// support, and the configuration texts the tests start the agent with.
#pragma once

#include <string>

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

}  // namespace vorlane::agent::testing
