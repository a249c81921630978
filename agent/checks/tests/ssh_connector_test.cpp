#include "agent/checks/ssh_connector.h"

#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

#include "agent/checks/tests/check_test_support.h"
#include "platform/process/process_table.h"
#include "platform/remote/shell_quote.h"
#include "testing/shell_command.h"

namespace vorlane::agent {
namespace {

using CommandRun = testkit::ShellCommandResult;

// Runs a command line through /bin/sh on this host, as the remote account's shell would.
CommandRun RunHere(const std::string& command) { return testkit::RunShellCommand(command); }

std::vector<std::string> Visited(std::string_view output, bool* ok) {
  std::vector<std::string> names;
  *ok = VisitRemoteProcesses(output, [&](std::string_view name) { names.emplace_back(name); });
  return names;
}

TEST(RemoteServiceUnitsTest, ReadsTheLoadedServiceUnitsInTheirOrder) {
  const std::string output =
      "cron.service                 loaded active   running Regular background program processing daemon\n"
      "\xE2\x97\x8F broken.service   loaded failed   failed  A unit that failed\n"
      "ssh.socket                   loaded active   listening OpenBSD Secure Shell server socket\n"
      "Mixed-Case.service loaded active reload Mixed\n"
      "\n"
      "stopped.service loaded inactive dead\n";
  const auto services = ParseServiceUnits(output);
  ASSERT_TRUE(services.has_value());
  ASSERT_EQ(services->size(), 4u);
  EXPECT_EQ((*services)[0].name, "cron");
  EXPECT_TRUE((*services)[0].Running());
  EXPECT_EQ((*services)[1].name, "broken");
  EXPECT_EQ((*services)[1].activeState, "failed");
  EXPECT_EQ((*services)[2].name, "Mixed-Case");
  EXPECT_EQ((*services)[2].subState, "reload");
  EXPECT_EQ((*services)[3].activeState, "inactive");
  EXPECT_TRUE(ParseServiceUnits("").has_value());
  EXPECT_FALSE(ParseServiceUnits("cron.service loaded\n").has_value()) << "a short line is not systemctl's";
}

TEST(RemoteServiceUnitsTest, FindsTheExactNameBeforeOneInAnotherCase) {
  const std::vector<platform::ServiceStatus> services{
      {"Cron", "active", "dead"}, {"cron", "active", "running"}, {"other", "active", "running"}};
  EXPECT_EQ(FindService(services, "cron")->subState, "running");
  EXPECT_EQ(FindService(services, "Cron")->subState, "dead");
  EXPECT_EQ(FindService(services, "CRON")->subState, "dead") << "the first one that differs in case";
  EXPECT_FALSE(FindService(services, "cro").has_value());
}

TEST(RemoteProcessTableTest, NamesProcessesAsThisHostNamesThem) {
  using namespace std::string_literals;
  const std::string output =
      "p30\0cbash\0"s
      "p4\0cvlremote-long-p\0a/opt/bin/vlremote-long-process\0e/opt/bin/vlremote-long-process\0"s
      "p12\0cvlremote-long-p\0a\0e/usr/lib/vlremote-long-proc2 (deleted)\n\0"s
      "p13\0cvlremote-long-p\0aother\0eother\0"s
      "p200\0c\0"s;
  bool ok = false;
  EXPECT_EQ(Visited(output, &ok), (std::vector<std::string>{"vlremote-long-process", "vlremote-long-proc2",
                                                            "vlremote-long-p", "bash", "_Total"}));
  EXPECT_TRUE(ok);
}

TEST(RemoteProcessTableTest, MalformedOutputVisitsNothing) {
  using namespace std::string_literals;
  const std::string malformed[] = {"cbash\0"s, "p1\0cbash"s, "px\0cbash\0"s, "p1\0zbash\0"s, "p1\0\0"s};
  for (const std::string& output : malformed) {
    bool ok = true;
    EXPECT_TRUE(Visited(output, &ok).empty()) << output;
    EXPECT_FALSE(ok) << output;
  }
  bool ok = false;
  EXPECT_EQ(Visited("", &ok), (std::vector<std::string>{"_Total"}));
  EXPECT_TRUE(ok);
}

TEST(RemoteProcessTableTest, TheScriptSeesWhatThisHostsProcessTableSees) {
  testing::NamedProcesses shortName("vlscriptshort", 2);
  testing::NamedProcesses longName("vlscript-long-process-name", 2);
  const CommandRun run = RunHere(RemoteCommand(kRemoteProcessesScript, {}));
  ASSERT_EQ(run.exitStatus, 0);
  std::map<std::string, int> remote;
  bool ok = false;
  for (const std::string& name : Visited(run.output, &ok)) ++remote[name];
  ASSERT_TRUE(ok);
  EXPECT_EQ(remote["vlscriptshort"], 2);
  EXPECT_EQ(remote["vlscript-long-process-name"], 2);
  EXPECT_EQ(remote["_Total"], 1);
  // Long-lived processes (pid 1 and the test itself) are named alike both ways.
  std::map<std::string, int> local;
  ASSERT_EQ(platform::ForEachProcessInstance({}, [&](std::string_view name) { ++local[std::string(name)]; }), 0u);
  EXPECT_EQ(remote[platform::ProcessInstanceName("/proc/1")], local[platform::ProcessInstanceName("/proc/1")]);
  EXPECT_GE(remote[platform::ProcessInstanceName("/proc/self")], 1);
}

TEST(RemoteProcessTableTest, TheScriptFailsWithoutAProcessTable) {
  if (::access("/usr/bin/unshare", X_OK) != 0) GTEST_SKIP() << "unshare is not installed";
  // A mount namespace of its own, where /proc is an empty folder.
  const std::string inner = "mount -t tmpfs none /proc && " + RemoteCommand(kRemoteProcessesScript, {});
  const CommandRun run = RunHere("unshare --mount --propagation private sh -c " + platform::QuoteForShell(inner));
  EXPECT_EQ(run.exitStatus, 3) << run.output;
  EXPECT_EQ(run.output, "");
}

TEST(RemoteVolumeTest, ReadsStatOutputAsStatvfsCounts) {
  EXPECT_EQ(ParseVolumeSpace("4096 1000 250\n")->totalBytes, 4096u * 1000u);
  EXPECT_EQ(ParseVolumeSpace("4096 1000 250\n")->freeBytes, 4096u * 250u);
  for (const char* bad : {"", "4096 1000\n", "4096 x 1\n", "-1 2 3\n", "1 2 3 4\n"}) {
    EXPECT_FALSE(ParseVolumeSpace(bad).has_value()) << bad;
  }
  const CommandRun run = RunHere(RemoteCommand(kRemoteVolumeScript, {"/"}));
  ASSERT_EQ(run.exitStatus, 0);
  const std::optional<VolumeSpace> remote = ParseVolumeSpace(run.output);
  const std::optional<VolumeSpace> local = QueryVolumeSpace("/");
  ASSERT_TRUE(remote && local);
  EXPECT_EQ(remote->totalBytes, local->totalBytes);
  EXPECT_NE(RunHere(RemoteCommand(kRemoteVolumeScript, {"/no/such/path"})).exitStatus, 0);
}

}  // namespace
}  // namespace vorlane::agent
