// The services of this host as the service manager (systemd, over the system D-Bus) knows them.
// A service is a unit of type service; its key name is the unit name without ".service".
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/result.h"

namespace vorlane::platform {

struct ServiceStatus {
  std::string name;         // key name: the unit name without ".service"
  std::string activeState;  // "active", "reloading", "inactive", "failed", "activating", "deactivating"
  std::string subState;     // "running", "exited", "dead", ...

  // Running means systemd reports the sub-state "running"; every other state is not running.
  bool Running() const { return subState == "running"; }
};

// The active states (active, reloading, activating, deactivating: loaded and not stopped).
bool IsActiveState(std::string_view state);

// The key name of a service unit ("ssh" for "ssh.service"); false for every other unit type.
bool ServiceKeyName(std::string_view unit, std::string_view& key);

// A connection to the service manager. Opening connects to the system bus (the address in
// DBUS_SYSTEM_BUS_ADDRESS when that is set, as for every D-Bus client); every call is bounded
// by a timeout so a manager that does not answer cannot hold the caller.
class ServiceManager {
 public:
  static constexpr std::chrono::milliseconds kCallTimeout{5000};

  // Fails when there is no system bus. That the bus has a service manager on it shows at the
  // first call.
  static Result<ServiceManager> Open();

  ServiceManager(ServiceManager&&) noexcept;
  ServiceManager& operator=(ServiceManager&&) noexcept;
  ~ServiceManager();

  // The services in an active state (active, reloading, activating, deactivating: loaded and
  // not stopped), in the order the manager lists its units. Fails when the manager cannot be
  // asked (no systemd on the bus, no answer in time, a malformed answer).
  Result<std::vector<ServiceStatus>> ListActiveServices();

  // The loaded service whose key name equals `name`, compared without regard to letter case
  // (ASCII); an exact match wins over one that differs in case. Fails when the manager cannot
  // be asked or has no such service loaded.
  Result<ServiceStatus> QueryService(std::string_view name);

 private:
  struct Bus;
  explicit ServiceManager(std::unique_ptr<Bus> bus);

  // Tests shorten the call timeout through ServiceManagerTestPeer (tests/service_manager_test_peer.h)
  // so that a manager that does not answer can be shown without waiting kCallTimeout.
  friend class ServiceManagerTestPeer;
  void SetCallTimeoutForTesting(std::chrono::milliseconds timeout);
  std::chrono::milliseconds CallTimeoutForTesting() const;

  std::unique_ptr<Bus> bus_;
};

}  // namespace vorlane::platform
