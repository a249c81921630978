#include "agent/checks/service_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/checks/tests/check_test_support.h"
#include "agent/request/tests/request_test_support.h"
#include "platform/service/tests/private_system_bus.h"

namespace vorlane::agent {
namespace {

using namespace std::string_literals;
using platform::ServiceStatus;
using testing::LogCapture;
using testing::RecordingConnector;

TEST(RunningServiceList, RunningServicesInOrderNumberedWithoutGaps) {
  const std::vector<ServiceStatus> services = {
      {"A", "active", "running"},   {"paused", "active", "reload"}, {"B", "reloading", "running"},
      {"starting", "activating", "start"}, {"C", "active", "running"}, {"done", "active", "exited"},
  };
  const ServiceList list = FormatRunningServiceList(services);
  EXPECT_EQ(list.text, "#value1=A#value2=B#value3=C");
  EXPECT_EQ(list.count, 3);
}

TEST(RunningServiceList, FiftyFiveOfSixtyRunning) {
  std::vector<ServiceStatus> services;
  std::string expected;
  int running = 0;
  for (int i = 0; i < 60; ++i) {
    const bool runs = i % 12 != 5;
    services.push_back({"svc" + std::to_string(i), "active", runs ? "running" : "reload"});
    if (runs) expected += "#value" + std::to_string(++running) + "=svc" + std::to_string(i);
  }
  const ServiceList list = FormatRunningServiceList(services);
  EXPECT_EQ(list.count, 55);
  EXPECT_EQ(list.text, expected);
}

TEST(RunningServiceList, NothingRunningAndUnsafeNamesGiveNoEntry) {
  EXPECT_EQ(FormatRunningServiceList({}).text, "");
  const ServiceList list = FormatRunningServiceList({{"x#result=up", "active", "running"}, {"q\"", "active", "running"}});
  EXPECT_EQ(list.text, "");
  EXPECT_EQ(list.count, 0);
}

// The system bus the service manager is asked on, for the life of the object.
class SystemBusAddress : public platform::testing::ScopedEnv {
 public:
  explicit SystemBusAddress(const std::string& address) : ScopedEnv("DBUS_SYSTEM_BUS_ADDRESS", address) {}
};

class ServiceCheckTest : public ::testing::Test {
 protected:
  std::string Run(const std::string& parameters) {
    user_.sent.clear();
    SendCheckAnswer(user_, 2, kServiceCheck.id,
                    ServiceCheckOutcome("#requestaction=runcheck#checkid=NTSC#" + parameters, connector_));
    return user_.OnlyAnswer(2);
  }
  static std::string Up(const std::string& name) {
    return "#keycount=3#responseaction=runcheck#checkid=NTSC#result=up#resultstring=" + name + " is running#";
  }
  static std::string Down(const std::string& name) {
    return "#keycount=3#responseaction=runcheck#checkid=NTSC#result=down#resultstring=" + name + " is not running#";
  }

  LogCapture log_;
  RecordingConnector connector_;
  testing::OrderedUserHandle user_{connector_};
};

TEST_F(ServiceCheckTest, WithoutAServiceManagerNothingRunsAndNoListIsBuilt) {
  SystemBusAddress noBus("unix:path=/nonexistent/vorlane-test-bus");
  EXPECT_EQ(Run("Service=cron#"), Down("cron"));
  EXPECT_EQ(ListRunningServices("").text, "");
  EXPECT_EQ(ListRunningServices("").count, 0);
  bool logged = false;
  for (const std::string& line : log_.Lines()) logged |= line.find("Could not ask the service manager") != std::string::npos;
  EXPECT_TRUE(logged) << "the operator learns why";
}

TEST_F(ServiceCheckTest, LineEndsAndOtherControlCharactersOfTheEchoedNameBecomeSpaces) {
  // The name stands in the answer; a line end there would split the answer for the server that
  // reads it line by line, and a NUL would cut it.
  SystemBusAddress noBus("unix:path=/nonexistent/vorlane-test-bus");
  const struct {
    std::string parameters;
    std::string shown;
  } rows[] = {
      {"Service=cr\r\non#", "cr  on"},
      {"Service=\tcron\n#", " cron "},
      {"Service=cr\0on#"s, "cr on"},
  };
  for (const auto& row : rows) EXPECT_EQ(Run(row.parameters), Down(row.shown)) << row.parameters;
}

TEST_F(ServiceCheckTest, AgainstTheServiceManager) {
  platform::testing::PrivateSystemBus bus;
  bus.StartFakeManager(VORLANE_FAKE_SYSTEMD_BINARY);
  ASSERT_TRUE(bus.Ready());
  bus.WriteUnits(
      "alpha.service loaded active running\n"
      "paused.service loaded active reload\n"
      "Beta.service loaded active running\n"
      "timer.timer loaded active waiting\n"
      "gamma.service loaded inactive dead\n");
  SystemBusAddress address(bus.Address());
  EXPECT_EQ(Run("Service=alpha#"), Up("alpha"));
  EXPECT_EQ(Run("Service=ALPHA#"), Up("ALPHA"));
  EXPECT_EQ(Run("Service=beta#"), Up("beta"));
  EXPECT_EQ(Run("Service=paused#"), Down("paused"));
  EXPECT_EQ(Run("Service=gamma#"), Down("gamma"));
  EXPECT_EQ(Run("Service=timer#"), Down("timer"));
  EXPECT_EQ(Run("Service=#"), Down(""));
  EXPECT_EQ(connector_.calls, std::vector<std::string>(7, "sent"));

  const ServiceList list = ListRunningServices("");
  EXPECT_EQ(list.text, "#value1=alpha#value2=Beta");
  EXPECT_EQ(list.count, 2);
  EXPECT_EQ(ListRunningServices("otherhost").text, "") << "only this host's manager can be asked";
}

TEST_F(ServiceCheckTest, ANamedHostIsConnectedFirstAndLeftAfterTheAnswer) {
  connector_.result = kNetBadNetPath;
  EXPECT_EQ(Run("Service=cron#Hostname=far#Use authentication=true#Username=ops#*Password=c2VjcmV0#"),
            "#keycount=3#responseaction=runcheck#checkid=NTSC#errormessage=ERROR: could not connect to hostname. "
            "Reason: The network path was not found.\r\n#");
  EXPECT_EQ(connector_.calls, (std::vector<std::string>{"add \\\\far ops secret", "sent"}));

  connector_.calls.clear();
  connector_.result = kNetSuccess;
  EXPECT_EQ(Run("Service=cron#Hostname=far#"), Down("cron"));
  EXPECT_EQ(connector_.calls, (std::vector<std::string>{"add \\\\far - -", "sent", "cancel \\\\far"}));
}

}  // namespace
}  // namespace vorlane::agent
