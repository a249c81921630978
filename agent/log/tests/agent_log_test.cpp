#include "agent/log/agent_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/debug_capture.h"

namespace vorlane::agent {
namespace {

TEST(AgentLog, EachKindHasItsPrefix) {
  EXPECT_EQ(FormatLogLine("Login allowed", kLogInfo), "-- i -- Login allowed\r\n");
  EXPECT_EQ(FormatLogLine("#keycount=2#", kLogOutgoing), "---> #keycount=2#\r\n");
  EXPECT_EQ(FormatLogLine("Received from 1.2.3.4", kLogIncoming), "<--- Received from 1.2.3.4\r\n");
  EXPECT_EQ(FormatLogLine("boom", kLogError), "-- ERR -- boom\r\n");
}

TEST(AgentLog, UnknownKindsAreInformation) {
  EXPECT_EQ(FormatLogLine("x", 7), "-- i -- x\r\n");
  EXPECT_EQ(FormatLogLine("x", -1), "-- i -- x\r\n");
}

TEST(AgentLog, LinesOfAnyLengthAreFormattedWhole) {
  std::string msg(100000, 'q');
  std::string line = FormatLogLine(msg, kLogIncoming);
  EXPECT_EQ(line.size(), 5 + msg.size() + 2);
  EXPECT_EQ(line.substr(5, msg.size()), msg);
}

// The agent log has no escaping of its own: text from a peer reaches the debug log, which keeps
// every line break inside it, Unicode ones included, from starting a line of its own.
TEST(AgentLog, APeersLineBreaksCannotForgeALine) {
  testkit::DebugCapture out;
  Log("#a#\r\n-- ERR -- one\xe2\x80\xa8-- ERR -- two\xe2\x80\xa9-- ERR -- three", kLogIncoming);
  const std::vector<std::string> lines = {"<--- #a#\\r\\n-- ERR -- one\\u2028-- ERR -- two\\u2029-- ERR -- three"};
  EXPECT_EQ(out.Lines(), lines);
}

// Bytes that are no UTF-8 (a Latin-1 file name, a cut sequence) reach the debug log as they
// came and are written there as escapes, so the line stays valid UTF-8; valid text is untouched.
TEST(AgentLog, BytesThatAreNoUtf8AreWrittenAsEscapes) {
  testkit::DebugCapture out;
  Log("FileName=/tmp/caf\xe9#", kLogIncoming);
  Log("#resultstring=caf\xc3\xa9 \xe2\x82#", kLogOutgoing);
  const std::vector<std::string> lines = {"<--- FileName=/tmp/caf\\xe9#", "---> #resultstring=caf\xc3\xa9 \\xe2\\x82#"};
  EXPECT_EQ(out.Lines(), lines);
}

}  // namespace
}  // namespace vorlane::agent
