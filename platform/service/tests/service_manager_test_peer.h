// Test access to ServiceManager internals that production code has no business changing.
#pragma once

#include <chrono>

#include "platform/service/service_manager.h"

namespace vorlane::platform {

class ServiceManagerTestPeer {
 public:
  // Replaces ServiceManager::kCallTimeout for the calls that follow on `manager`.
  static void SetCallTimeout(ServiceManager& manager, std::chrono::milliseconds timeout) {
    manager.SetCallTimeoutForTesting(timeout);
  }
  // The timeout the connection applies to calls (-1 ms when it cannot be told).
  static std::chrono::milliseconds CallTimeout(const ServiceManager& manager) { return manager.CallTimeoutForTesting(); }
};

}  // namespace vorlane::platform
