// ServiceManager against a private dbus-daemon with the fake manager on it: real processes,
// real sd-bus traffic, the units coming from a file the test writes.
#include "platform/service/service_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/service/tests/private_system_bus.h"
#include "platform/service/tests/service_manager_test_peer.h"

namespace vorlane::platform {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using testing::PrivateSystemBus;
using testing::ScopedEnv;

constexpr const char* kBusVariable = "DBUS_SYSTEM_BUS_ADDRESS";

std::vector<std::string> Names(const std::vector<ServiceStatus>& services) {
  std::vector<std::string> names;
  for (const ServiceStatus& service : services) names.push_back(service.name);
  return names;
}

// A status as one line, with whether it counts as running: "name active sub +running".
std::string Described(const ServiceStatus& service) {
  return service.name + " " + service.activeState + " " + service.subState +
         (service.Running() ? " +running" : " -running");
}
std::vector<std::string> Described(const std::vector<ServiceStatus>& services) {
  std::vector<std::string> lines;
  for (const ServiceStatus& service : services) lines.push_back(Described(service));
  return lines;
}

class ServiceManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus_.StartFakeManager(VORLANE_FAKE_SYSTEMD_BINARY)) << bus_.Problem();
    ASSERT_TRUE(bus_.Ready());
    env_.emplace(kBusVariable, bus_.Address());
    // Units are read at every call, so the manager may be opened before the test writes them.
    Result<ServiceManager> opened = ServiceManager::Open();
    ASSERT_TRUE(opened.ok()) << opened.error().message;
    manager_.emplace(std::move(opened).value());
  }

  // The status QueryService finds for `name`, which it must find.
  ServiceStatus Found(const std::string& name) {
    Result<ServiceStatus> found = manager_->QueryService(name);
    EXPECT_TRUE(found.ok()) << name << ": " << (found.ok() ? "" : found.error().message);
    return found.ok() ? found.value() : ServiceStatus{};
  }
  // What ListActiveServices gives, which must succeed.
  std::vector<ServiceStatus> Listed() {
    Result<std::vector<ServiceStatus>> services = manager_->ListActiveServices();
    EXPECT_TRUE(services.ok()) << (services.ok() ? "" : services.error().message);
    return services.ok() ? services.value() : std::vector<ServiceStatus>{};
  }

  PrivateSystemBus bus_;
  std::optional<ScopedEnv> env_;
  std::optional<ServiceManager> manager_;
};

TEST_F(ServiceManagerTest, ActiveServicesInTheManagersOrder) {
  ASSERT_TRUE(bus_.WriteUnits(
      "zeta.service loaded active running\n"
      "dbus.socket loaded active running\n"
      "oneshot.service loaded active exited\n"
      "stopped.service loaded inactive dead\n"
      "reloader.service loaded reloading reload\n"
      "broken.service loaded failed failed\n"
      "home.mount loaded active mounted\n"
      "starting.service loaded activating start\n"
      "daily.timer loaded active waiting\n"
      "getty@tty1.service loaded active running Getty on tty1\n"
      "stopping.service loaded deactivating stop-sigterm\n"
      "alpha.service loaded active running\n"
      ".service loaded active running\n"));
  Result<ServiceManager> manager = ServiceManager::Open();
  ASSERT_TRUE(manager.ok()) << manager.error().message;
  Result<std::vector<ServiceStatus>> services = manager.value().ListActiveServices();
  ASSERT_TRUE(services.ok()) << services.error().message;
  EXPECT_THAT(Described(services.value()),
              ::testing::ElementsAre("zeta active running +running", "oneshot active exited -running",
                                     "reloader reloading reload -running", "starting activating start -running",
                                     "getty@tty1 active running +running",
                                     "stopping deactivating stop-sigterm -running", "alpha active running +running"));
}

TEST_F(ServiceManagerTest, SixtyActiveOfWhichFiftyFiveRun) {
  std::string units;
  std::vector<std::string> running;
  for (int i = 0; i < 60; ++i) {
    const std::string name = "svc" + std::to_string(i);
    const bool runs = i % 12 != 5;  // 5 of the 60 are not running
    units += name + ".service loaded active " + (runs ? "running" : "exited") + "\n";
    units += name + ".socket loaded active listening\n";
    units += "idle" + std::to_string(i) + ".service loaded inactive dead\n";
    if (runs) running.push_back(name);
  }
  ASSERT_TRUE(bus_.WriteUnits(units));
  const std::vector<ServiceStatus> services = Listed();
  EXPECT_EQ(services.size(), 60u);
  std::vector<std::string> seenRunning;
  for (const ServiceStatus& service : services) {
    if (service.Running()) seenRunning.push_back(service.name);
  }
  EXPECT_EQ(seenRunning.size(), 55u);
  EXPECT_EQ(seenRunning, running);
}

TEST_F(ServiceManagerTest, NoUnitsGiveAnEmptyList) {
  ASSERT_TRUE(bus_.WriteUnits(""));
  EXPECT_TRUE(Listed().empty());
}

TEST_F(ServiceManagerTest, QueryFindsTheExactNameThenACaseVariant) {
  ASSERT_TRUE(bus_.WriteUnits(
      "ssh.socket loaded active listening\n"
      "ssh.service loaded active running\n"
      "FOO.service loaded active exited\n"
      "Foo.service loaded inactive dead\n"
      "foo.service loaded active running\n"
      "Cron.service loaded active running\n"
      "cRON.service loaded failed failed\n"));

  EXPECT_EQ(Described(Found("ssh")), "ssh active running +running");
  EXPECT_EQ(Found("SSH").name, "ssh");
  // An exact match wins wherever it stands in the list.
  EXPECT_EQ(Described(Found("foo")), "foo active running +running");
  EXPECT_EQ(Described(Found("Foo")), "Foo inactive dead -running");
  // Without an exact match, the first case variant in the manager's order.
  EXPECT_EQ(Described(Found("cron")), "Cron active running +running");
  EXPECT_EQ(Described(Found("fOO")), "FOO active exited -running");
}

TEST_F(ServiceManagerTest, QueryReportsStoppedAndFailedServices) {
  ASSERT_TRUE(bus_.WriteUnits(
      "stopped.service loaded inactive dead\n"
      "broken.service loaded failed failed\n"));
  EXPECT_EQ(Described(Found("stopped")), "stopped inactive dead -running");
  EXPECT_EQ(Described(Found("BROKEN")), "broken failed failed -running");
}

TEST_F(ServiceManagerTest, QueryFailsForNamesThatAreNoLoadedService) {
  ASSERT_TRUE(bus_.WriteUnits(
      "ssh.service loaded active running\n"
      "ssh.socket loaded active listening\n"
      "daily.timer loaded active waiting\n"));
  ServiceManager& manager = *manager_;
  const std::vector<std::string> absent = {"sshd", "ss", "ssh.service", "ssh.socket", "daily", "", std::string(300, 's')};
  for (const std::string& name : absent) {
    Result<ServiceStatus> found = manager.QueryService(name);
    EXPECT_FALSE(found.ok()) << "\"" << name << "\" found as " << found.value().name;
    if (!found.ok()) {
      EXPECT_EQ(found.error().code, ENOENT) << name;
    }
  }
  // Only the key name counts: "x.service" matches a unit "x.service.service".
  ASSERT_TRUE(bus_.WriteUnits("ssh.service.service loaded active running\n"));
  EXPECT_EQ(Found("ssh.service").name, "ssh.service");
}

TEST_F(ServiceManagerTest, EveryCallSeesTheUnitsOfThatMoment) {
  ASSERT_TRUE(bus_.WriteUnits("cron.service loaded active running\n"));
  EXPECT_TRUE(Found("cron").Running());
  ASSERT_TRUE(bus_.WriteUnits("cron.service loaded inactive dead\nat.service loaded active running\n"));
  EXPECT_FALSE(Found("cron").Running());
  EXPECT_THAT(Names(Listed()), ::testing::ElementsAre("at"));
}

TEST_F(ServiceManagerTest, AnErrorFromTheManagerIsReported) {
  ASSERT_TRUE(bus_.RemoveUnits());
  ServiceManager& manager = *manager_;
  Result<std::vector<ServiceStatus>> services = manager.ListActiveServices();
  ASSERT_FALSE(services.ok());
  EXPECT_THAT(services.error().message, HasSubstr("org.freedesktop.DBus.Error.Failed"));
  EXPECT_THAT(services.error().message, HasSubstr("cannot read"));
  EXPECT_NE(services.error().code, 0);
  Result<ServiceStatus> query = manager.QueryService("ssh");
  ASSERT_FALSE(query.ok());
  EXPECT_THAT(query.error().message, HasSubstr("org.freedesktop.DBus.Error.Failed"));

  // The same connection works again once the manager can answer.
  ASSERT_TRUE(bus_.WriteUnits("ssh.service loaded active running\n"));
  EXPECT_TRUE(Found("ssh").Running());
}

TEST_F(ServiceManagerTest, AMalformedAnswerIsAnError) {
  ASSERT_TRUE(bus_.WriteUnits("!malformed\nssh.service loaded active running\n"));
  ServiceManager& manager = *manager_;
  Result<std::vector<ServiceStatus>> services = manager.ListActiveServices();
  ASSERT_FALSE(services.ok());
  EXPECT_EQ(services.error().code, EBADMSG);
  EXPECT_THAT(services.error().message, HasSubstr("a(ss)"));
  Result<ServiceStatus> query = manager.QueryService("ssh");
  ASSERT_FALSE(query.ok());
  EXPECT_EQ(query.error().code, EBADMSG);
}

TEST_F(ServiceManagerTest, AManagerThatDoesNotAnswerInTimeFailsTheCall) {
  ASSERT_TRUE(bus_.WriteUnits("!hang 1500\nssh.service loaded active running\n"));
  ServiceManager& manager = *manager_;
  EXPECT_EQ(ServiceManagerTestPeer::CallTimeout(manager), ServiceManager::kCallTimeout);
  ServiceManagerTestPeer::SetCallTimeout(manager, 300ms);
  EXPECT_EQ(ServiceManagerTestPeer::CallTimeout(manager), 300ms);
  const auto start = std::chrono::steady_clock::now();
  Result<std::vector<ServiceStatus>> services = manager.ListActiveServices();
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(services.ok());
  EXPECT_EQ(services.error().code, ETIMEDOUT) << services.error().message;
  EXPECT_GE(took, 250ms);
  EXPECT_LT(took, 1200ms);

  // Once the manager answers in time again, the same connection gives the right answer (the
  // late answer to the timed-out call is not taken for it). The fake is single-threaded and
  // still hangs for the earlier call, so this waits that out under the default timeout.
  ASSERT_TRUE(bus_.WriteUnits("cron.service loaded active running\n"));
  ServiceManagerTestPeer::SetCallTimeout(manager, ServiceManager::kCallTimeout);
  EXPECT_THAT(Names(Listed()), ::testing::ElementsAre("cron"));
}

TEST_F(ServiceManagerTest, TheManagerLeavingTheBusFailsTheNextCall) {
  ASSERT_TRUE(bus_.WriteUnits("ssh.service loaded active running\n"));
  ASSERT_TRUE(manager_->QueryService("ssh").ok());
  bus_.StopFakeManager();
  Result<ServiceStatus> query = manager_->QueryService("ssh");
  ASSERT_FALSE(query.ok());
  EXPECT_THAT(query.error().message, HasSubstr("ServiceUnknown"));
}

TEST(ServiceManagerWithoutManager, ABusWithoutTheManagerFailsAtTheFirstCallAndQuickly) {
  PrivateSystemBus bus;
  ASSERT_TRUE(bus.BusReady()) << bus.Problem();
  ScopedEnv env(kBusVariable, bus.Address());
  Result<ServiceManager> manager = ServiceManager::Open();
  ASSERT_TRUE(manager.ok()) << manager.error().message;
  const auto start = std::chrono::steady_clock::now();
  Result<std::vector<ServiceStatus>> services = manager.value().ListActiveServices();
  ASSERT_FALSE(services.ok());
  EXPECT_THAT(services.error().message, HasSubstr("org.freedesktop.DBus.Error.ServiceUnknown"));
  Result<ServiceStatus> query = manager.value().QueryService("ssh");
  ASSERT_FALSE(query.ok());
  EXPECT_THAT(query.error().message, HasSubstr("ServiceUnknown"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST(ServiceManagerWithoutBus, OpenFailsWhenThereIsNoBus) {
  ScopedEnv env(kBusVariable, "unix:path=/nonexistent/vorlane-test-bus");
  const auto start = std::chrono::steady_clock::now();
  Result<ServiceManager> manager = ServiceManager::Open();
  ASSERT_FALSE(manager.ok());
  EXPECT_EQ(manager.error().code, ENOENT) << manager.error().message;
  EXPECT_THAT(manager.error().message, HasSubstr("system bus"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST_F(ServiceManagerTest, AMovedFromManagerFailsInsteadOfCrashing) {
  ASSERT_TRUE(bus_.WriteUnits("ssh.service loaded active running\n"));
  ServiceManager first = std::move(*manager_);
  ServiceManager second = std::move(first);
  EXPECT_TRUE(second.QueryService("ssh").ok());
  Result<std::vector<ServiceStatus>> fromMovedOut = first.ListActiveServices();  // NOLINT: use after move on purpose
  ASSERT_FALSE(fromMovedOut.ok());
  EXPECT_EQ(fromMovedOut.error().code, ENOTCONN);
}

TEST(PrivateSystemBusTest, CleansUpItsProcessesAndFolder) {
  std::filesystem::path folder;
  {
    PrivateSystemBus bus;
    ASSERT_TRUE(bus.StartFakeManager(VORLANE_FAKE_SYSTEMD_BINARY)) << bus.Problem();
    folder = bus.Folder();
    EXPECT_TRUE(std::filesystem::exists(folder / "bus"));
    EXPECT_EQ(bus.Address().rfind("unix:path=" + (folder / "bus").string(), 0), 0u) << bus.Address();
  }
  EXPECT_FALSE(std::filesystem::exists(folder));
}

}  // namespace
}  // namespace vorlane::platform
