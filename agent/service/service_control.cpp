#include "agent/service/service_control.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>
#include <utility>
#include <vector>

#include "agent/config/agent_config.h"
#include "agent/log/agent_log.h"
#include "agent/server/server_thread.h"
#include "agent/service/unit_template.h"
#include "platform/com/registry.h"
#include "platform/base/replace.h"
#include "platform/base/unique_fd.h"

namespace vorlane::agent {
namespace {

constexpr int kErrorServiceExists = 1073;
constexpr int kErrorServiceDoesNotExist = 1060;
constexpr int kErrorAccessDenied = 5;
constexpr int kErrorPathNotFound = 3;

// The Windows error number an operator of the service commands knows for an errno.
int ServiceError(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return kErrorAccessDenied;
    case ENOENT:
    case ENOTDIR:
      return kErrorPathNotFound;
    default:
      return error;
  }
}

bool SystemdManagesUnits() {
  return ::access("/run/systemd/system", F_OK) == 0 && std::getenv("VORLANE_UNIT_DIR") == nullptr;
}

// The shared unit text for this executable, its configuration folder and its class registry.
std::string UnitText(const std::filesystem::path& executable) {
  std::string text = ReplaceAll(kUnitTemplate, "@VORLANE_EXECUTABLE@", executable.string());
  text = ReplaceAll(std::move(text), "@VORLANE_CONFIG_DIR@", ConfigDirectory().string());
  return ReplaceAll(std::move(text), "@VORLANE_CLASS_REGISTRY@", com::ClassRegistryPath().string());
}

// The general settings by name and value as text, for telling which of them changed.
std::vector<std::pair<std::string, std::string>> SettingTexts(const Result<GeneralSettings>& settings) {
  if (!settings) return {{"GeneralInfo", settings.error().message}};
  const GeneralSettings& general = settings.value();
  return {{"Protocol", general.isTelnet ? "Telnet" : "SSH"},
          {"Port", std::to_string(general.port)},
          {"BindIP", general.bindIp},
          {"MaxConcurrentChecks", std::to_string(general.maxConcurrentChecks)},
          {"HttpsCaFile", general.https.caFile},
          {"HttpsCaPath", general.https.caPath}};
}

// A reload: the users and the protocol table are read anew at every login and every check, so
// they need nothing; the general settings are read when the server starts, so a change of one
// of them is logged as waiting for a restart.
void Reload(const ConfigPaths& paths, const std::vector<std::pair<std::string, std::string>>& atStart) {
  const auto now = SettingTexts(ReadGeneralSettings(paths.agentConfig));
  // A setting whose name or value is not as at start changed (an unreadable section is the one
  // setting "GeneralInfo").
  std::string changed;
  for (const auto& setting : now) {
    if (std::find(atStart.begin(), atStart.end(), setting) == atStart.end()) {
      changed += (changed.empty() ? "" : ", ") + setting.first;
    }
  }
  Log("Reload: users and the TCP protocol table are read at each use. " +
          (changed.empty() ? std::string("No setting that needs a restart changed.")
                           : "Changed settings that take effect only after a restart: " + changed + "."),
      kLogInfo);
}

}  // namespace

std::filesystem::path UnitDirectory() {
  const char* dir = std::getenv("VORLANE_UNIT_DIR");
  return (dir != nullptr && *dir != '\0') ? dir : "/etc/systemd/system";
}

bool InstallService(const std::filesystem::path& executable) {
  const std::filesystem::path unit = UnitDirectory() / kUnitName;
  UniqueFd fd(::open(unit.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!fd) {
    const int error = errno == EEXIST ? kErrorServiceExists : ServiceError(errno);
    std::printf("Could not install service! Error: %d.", error);
    return false;
  }
  const std::string text = UnitText(executable);
  if (::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) || ::fsync(fd.get()) != 0) {
    const int error = ServiceError(errno);
    fd.reset();
    ::unlink(unit.c_str());
    std::printf("Could not install service! Error: %d.", error);
    return false;
  }
  fd.reset();
  if (SystemdManagesUnits()) {
    if (std::system("systemctl daemon-reload") != 0 || std::system("systemctl enable vorlane.service") != 0) {
      std::fprintf(stderr, "vorlane: the unit is written, but systemctl could not enable it\n");
      return false;
    }
  }
  std::printf("Install succeeded\n");
  return true;
}

bool UninstallService() {
  const std::filesystem::path unit = UnitDirectory() / kUnitName;
  if (::access(unit.c_str(), F_OK) != 0) {
    std::printf("Error uninstalling service: OpenService failed (error: %d)\n", kErrorServiceDoesNotExist);
    return false;
  }
  if (SystemdManagesUnits()) (void)std::system("systemctl disable vorlane.service >/dev/null 2>&1");
  if (::unlink(unit.c_str()) != 0) {
    std::printf("Error uninstalling service: DeleteService failed (error: %d)\n", ServiceError(errno));
    return false;
  }
  if (SystemdManagesUnits()) (void)std::system("systemctl daemon-reload");
  std::printf("Unistall succeeded\n");
  return true;
}

bool StartedBySystemd() { return std::getenv("NOTIFY_SOCKET") != nullptr || std::getenv("INVOCATION_ID") != nullptr; }

int RunAgent(bool console) {
  // Stop, shutdown and reload arrive as signals; every thread leaves them to the wait below. A
  // hang-up (systemctl reload, or the terminal closed) never ends the agent: it reloads.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  (void)sd_notify(0, "STATUS=Starting");
  const ConfigPaths paths = LocateConfigFiles();
  const auto settingsAtStart = SettingTexts(ReadGeneralSettings(paths.agentConfig));
  AgentServer server(paths);
  std::promise<bool> listening;
  std::future<bool> started = listening.get_future();
  std::thread serverThread([&] { server.Run([&](bool ok) { listening.set_value(ok); }); });

  const bool serving = started.get();
  if (!serving && console) {
    server.Quit();
    serverThread.join();
    return 1;
  }
  (void)sd_notify(0, serving ? "READY=1\nSTATUS=Serving" : "READY=1\nSTATUS=Not serving: see the log");

  for (;;) {
    int received = 0;
    if (sigwait(&stopSignals, &received) != 0) continue;
    if (received != SIGHUP) break;
    (void)sd_notify(0, "RELOADING=1");
    Reload(paths, settingsAtStart);
    (void)sd_notify(0, "READY=1");
  }
  (void)sd_notify(0, "STOPPING=1");
  server.Quit();
  serverThread.join();
  if (!server.RequestsEnded()) {
    // A check outlived the stop's wait: its worker still uses the server, which therefore is
    // not taken apart. The connections are closed and the log written; end here.
    std::fflush(nullptr);
    ::_exit(0);
  }
  return 0;
}

}  // namespace vorlane::agent
