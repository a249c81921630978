#include "agent/checks/check_host.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <utility>

#include "platform/base/ascii.h"
#include "platform/process/process_table.h"

namespace vorlane::agent {
namespace {

class ThisHost : public CheckHost {
 public:
  Result<std::vector<platform::ServiceStatus>> ListActiveServices() override {
    Result<platform::ServiceManager> manager = platform::ServiceManager::Open();
    VORLANE_RETURN_IF_ERROR(manager);
    return manager.value().ListActiveServices();
  }
  Result<platform::ServiceStatus> QueryService(std::string_view name) override {
    Result<platform::ServiceManager> manager = platform::ServiceManager::Open();
    VORLANE_RETURN_IF_ERROR(manager);
    return manager.value().QueryService(name);
  }
  uint32_t ForEachProcessInstance(const std::function<void(std::string_view name)>& visit) override {
    return platform::ForEachProcessInstance({}, visit);
  }
  std::optional<VolumeSpace> QueryVolumeSpace(const std::string& path) override {
    return agent::QueryVolumeSpace(path);
  }
};

class NoHost : public CheckHost {
 public:
  Result<std::vector<platform::ServiceStatus>> ListActiveServices() override { return NotReached(); }
  Result<platform::ServiceStatus> QueryService(std::string_view /*name*/) override { return NotReached(); }
  uint32_t ForEachProcessInstance(const std::function<void(std::string_view name)>& /*visit*/) override {
    return platform::kPdhNoMachine;
  }
  std::optional<VolumeSpace> QueryVolumeSpace(const std::string& /*path*/) override { return std::nullopt; }

 private:
  static Error NotReached() { return Error{EHOSTUNREACH, "no connection reaches the host's service manager"}; }
};

}  // namespace

std::optional<VolumeSpace> QueryVolumeSpace(const std::string& path) {
  // A NUL would cut the path short, so the volume of another path would be measured.
  if (path.find('\0') != std::string::npos) return std::nullopt;
  struct statvfs info {};
  if (::statvfs(path.c_str(), &info) != 0) return std::nullopt;
  // f_bfree, not f_bavail: the check counts every free byte, including the root reserve, as the
  // total free bytes of the volume.
  return VolumeSpace{static_cast<uint64_t>(info.f_blocks) * info.f_frsize,
                     static_cast<uint64_t>(info.f_bfree) * info.f_frsize};
}

CheckHost& LocalCheckHost() {
  static ThisHost host;
  return host;
}

CheckHost& UnreachableCheckHost() {
  static NoHost host;
  return host;
}

std::optional<platform::ServiceStatus> FindService(const std::vector<platform::ServiceStatus>& services,
                                                   std::string_view name) {
  const platform::ServiceStatus* caseVariant = nullptr;
  for (const platform::ServiceStatus& service : services) {
    if (service.name == name) return service;
    if (caseVariant == nullptr && EqualsIgnoringAsciiCase(service.name, name)) caseVariant = &service;
  }
  if (caseVariant != nullptr) return *caseVariant;
  return std::nullopt;
}

}  // namespace vorlane::agent
