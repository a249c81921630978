// Test doubles shared by the dispatcher and login tests: a fake connection, a captured debug
// log, a temporary configuration folder and an agent context on a hand-driven clock.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/request/agent_context.h"
#include "agent/request/user_handle.h"
#include "testing/debug_capture.h"
#include "testing/temp_dir.h"

namespace vorlane::agent::testing {

struct SentAnswer {
  std::string text;
  int32_t serviceIndex;
};

class FakeUserHandle : public UserHandle {
 public:
  std::string address = "192.168.1.15";
  std::string request;
  std::vector<SentAnswer> sent;
  std::vector<int32_t> receiveCounts;
  std::string sftpHome;

  std::string RemoteAddress() override { return address; }
  std::string Receive(int32_t count) override {
    receiveCounts.push_back(count);
    return request.substr(0, static_cast<size_t>(count));
  }
  void Send(const std::string& text, int32_t serviceIndex) override { sent.push_back({text, serviceIndex}); }
  void SetSftpHome(const std::string& folder) override { sftpHome = folder; }

  // The text of the one answer sent since `sent` was last cleared, which must have gone out on
  // `serviceIndex`. Anything but exactly one answer fails the test and gives a text that matches
  // no answer.
  std::string OnlyAnswer(int32_t serviceIndex) const {
    EXPECT_EQ(sent.size(), 1u);
    if (sent.size() != 1) return "<" + std::to_string(sent.size()) + " answers>";
    EXPECT_EQ(sent[0].serviceIndex, serviceIndex);
    return sent[0].text;
  }
};

// Everything the debug log receives while the object lives, one entry per line.
using LogCapture = testkit::DebugCapture;

// A folder of its own for AgentConfig.INI and TCPConfig.INI, removed afterwards.
class TempConfigDir {
 public:
  TempConfigDir() : paths_(LocateConfigFiles(dir_.Path())) {}

  const ConfigPaths& paths() const { return paths_; }
  void WriteAgentConfig(const std::string& text) const { testkit::WriteFile(paths_.agentConfig, text); }
  void WriteTcpConfig(const std::string& text) const { testkit::WriteFile(paths_.tcpConfig, text); }

 private:
  testkit::TempDir dir_{"vorlane-protocol"};
  ConfigPaths paths_;
};

// An agent context whose session clock the test sets.
struct ContextOnFakeClock {
  std::time_t now = 1'700'000'000;
  SessionTable sessions{[this] { return now; }};
  cipher::PasswordCipher cipher;
  TempConfigDir config;
  AgentContext context{sessions, config.paths(), cipher};
};

}  // namespace vorlane::agent::testing
