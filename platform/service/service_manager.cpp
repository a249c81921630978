// The service manager over the system D-Bus: one ListUnits call per question, read with sd-bus.
// ListUnits is asked rather than per-unit properties because it exists on every systemd version
// and answers the whole picture in one round trip.
#include "platform/service/service_manager.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/base/ascii.h"

namespace vorlane::platform {

namespace {

constexpr const char* kDestination = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";
constexpr const char* kUnitListSignature = "a(ssssssouso)";
constexpr std::string_view kServiceSuffix = ".service";

// Messages left in the read queue (late replies to calls that timed out, signals addressed to
// us) are dropped before each call; this bounds the work spent on that per call.
constexpr int kMaxDrainedMessages = 256;

struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// An sd_bus_error that is freed on scope exit.
class BusError {
 public:
  BusError() = default;
  ~BusError() { sd_bus_error_free(&error_); }
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;

  sd_bus_error* get() { return &error_; }
  bool set() const { return sd_bus_error_is_set(&error_) > 0; }
  const sd_bus_error& raw() const { return error_; }

 private:
  sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

// sd-bus reports failures as -errno; the platform layer reports errno itself.
int ErrnoOf(int rc) { return rc < 0 ? -rc : EIO; }

Error FailureOf(std::string_view what, int rc, const BusError* busError = nullptr) {
  std::string message = "service manager: " + std::string(what) + ": ";
  if (busError != nullptr && busError->set()) {
    const sd_bus_error& raw = busError->raw();
    message += raw.name != nullptr ? raw.name : "(unnamed error)";
    if (raw.message != nullptr && raw.message[0] != '\0') message += std::string(": ") + raw.message;
  } else {
    message += std::strerror(ErrnoOf(rc));
  }
  return Error{ErrnoOf(rc), std::move(message)};
}

}  // namespace

bool IsActiveState(std::string_view state) {
  return state == "active" || state == "reloading" || state == "activating" || state == "deactivating";
}

bool ServiceKeyName(std::string_view unit, std::string_view& key) {
  if (unit.size() <= kServiceSuffix.size() || !unit.ends_with(kServiceSuffix)) return false;
  key = unit.substr(0, unit.size() - kServiceSuffix.size());
  return true;
}

namespace {

// One entry of the ListUnits answer, as far as it is of use here. The views point into the
// reply message and live as long as it does.
struct UnitRow {
  std::string_view name;
  std::string_view activeState;
  std::string_view subState;
};

// Reads the unit list out of a ListUnits reply, calling `visit(row)` for each unit in order;
// `visit` returns false to stop early.
template <class Visit>
Result<void> ReadUnitList(sd_bus_message* reply, Visit&& visit) {
  if (sd_bus_message_has_signature(reply, kUnitListSignature) <= 0) {
    const char* signature = sd_bus_message_get_signature(reply, 1);
    return Error{EBADMSG, std::string("service manager: ListUnits answered with the signature \"") +
                              (signature != nullptr ? signature : "") + "\" instead of \"" + kUnitListSignature +
                              "\""};
  }
  int rc = sd_bus_message_enter_container(reply, SD_BUS_TYPE_ARRAY, "(ssssssouso)");
  if (rc < 0) return FailureOf("cannot read the ListUnits answer", rc);
  for (;;) {
    const char* name = nullptr;
    const char* description = nullptr;
    const char* loadState = nullptr;
    const char* activeState = nullptr;
    const char* subState = nullptr;
    const char* following = nullptr;
    const char* unitPath = nullptr;
    uint32_t jobId = 0;
    const char* jobType = nullptr;
    const char* jobPath = nullptr;
    rc = sd_bus_message_read(reply, "(ssssssouso)", &name, &description, &loadState, &activeState, &subState,
                             &following, &unitPath, &jobId, &jobType, &jobPath);
    if (rc < 0) return FailureOf("cannot read the ListUnits answer", rc);
    if (rc == 0) break;
    if (!visit(UnitRow{name, activeState, subState})) return {};
  }
  rc = sd_bus_message_exit_container(reply);
  if (rc < 0) return FailureOf("cannot read the ListUnits answer", rc);
  return {};
}

}  // namespace

struct ServiceManager::Bus {
  explicit Bus(sd_bus* connection) : bus(connection) {}
  ~Bus() { sd_bus_flush_close_unref(bus); }
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // Drops what arrived outside of our calls so the read queue cannot grow without bound on a
  // connection that lives long.
  void Drain() {
    for (int i = 0; i < kMaxDrainedMessages; ++i) {
      if (sd_bus_process(bus, nullptr) <= 0) break;
    }
  }

  // Asks the manager for its units. The call is bounded by the connection's method call timeout.
  Result<MessagePtr> ListUnits() {
    Drain();
    BusError error;
    sd_bus_message* reply = nullptr;
    const int rc = sd_bus_call_method(bus, kDestination, kManagerPath, kManagerInterface, "ListUnits", error.get(),
                                      &reply, "");
    MessagePtr owned(reply);
    if (rc < 0) return FailureOf("ListUnits failed", rc, &error);
    return owned;
  }

  sd_bus* bus;
};

Result<ServiceManager> ServiceManager::Open() {
  sd_bus* connection = nullptr;
  int rc = sd_bus_open_system(&connection);
  if (rc < 0) return FailureOf("cannot connect to the system bus", rc);
  auto bus = std::make_unique<Bus>(connection);
  rc = sd_bus_set_method_call_timeout(connection, static_cast<uint64_t>(kCallTimeout.count()) * 1000U);
  if (rc < 0) return FailureOf("cannot set the call timeout", rc);
  return ServiceManager(std::move(bus));
}

ServiceManager::ServiceManager(std::unique_ptr<Bus> bus) : bus_(std::move(bus)) {}
ServiceManager::ServiceManager(ServiceManager&&) noexcept = default;
ServiceManager& ServiceManager::operator=(ServiceManager&&) noexcept = default;
ServiceManager::~ServiceManager() = default;

void ServiceManager::SetCallTimeoutForTesting(std::chrono::milliseconds timeout) {
  if (bus_) sd_bus_set_method_call_timeout(bus_->bus, static_cast<uint64_t>(timeout.count()) * 1000U);
}

std::chrono::milliseconds ServiceManager::CallTimeoutForTesting() const {
  uint64_t usec = 0;
  if (!bus_ || sd_bus_get_method_call_timeout(bus_->bus, &usec) < 0) return std::chrono::milliseconds(-1);
  return std::chrono::milliseconds(usec / 1000U);
}

Result<std::vector<ServiceStatus>> ServiceManager::ListActiveServices() {
  if (!bus_) return Error{ENOTCONN, "service manager: not connected"};
  Result<MessagePtr> reply = bus_->ListUnits();
  VORLANE_RETURN_IF_ERROR(reply);
  std::vector<ServiceStatus> services;
  Result<void> read = ReadUnitList(reply.value().get(), [&](const UnitRow& row) {
    std::string_view key;
    if (ServiceKeyName(row.name, key) && IsActiveState(row.activeState)) {
      services.push_back(ServiceStatus{std::string(key), std::string(row.activeState), std::string(row.subState)});
    }
    return true;
  });
  VORLANE_RETURN_IF_ERROR(read);
  return services;
}

Result<ServiceStatus> ServiceManager::QueryService(std::string_view name) {
  if (!bus_) return Error{ENOTCONN, "service manager: not connected"};
  Result<MessagePtr> reply = bus_->ListUnits();
  VORLANE_RETURN_IF_ERROR(reply);
  std::optional<ServiceStatus> exact;
  std::optional<ServiceStatus> caseVariant;
  Result<void> read = ReadUnitList(reply.value().get(), [&](const UnitRow& row) {
    std::string_view key;
    if (!ServiceKeyName(row.name, key)) return true;
    if (key == name) {
      exact = ServiceStatus{std::string(key), std::string(row.activeState), std::string(row.subState)};
      return false;  // nothing can beat an exact match
    }
    if (!caseVariant && EqualsIgnoringAsciiCase(key, name)) {
      caseVariant = ServiceStatus{std::string(key), std::string(row.activeState), std::string(row.subState)};
    }
    return true;
  });
  VORLANE_RETURN_IF_ERROR(read);
  if (exact) return *std::move(exact);
  if (caseVariant) return *std::move(caseVariant);
  return Error{ENOENT, "service manager: no service \"" + std::string(name) + "\" is loaded"};
}

}  // namespace vorlane::platform
