#include "agent/service/service_control.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "agent/config/agent_config.h"
#include "agent/server/server_thread.h"
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

std::string UnitText(const std::filesystem::path& executable) {
  return std::string("[Unit]\n") + "Description=" + kServiceName + "\n" +
         "After=network-online.target\n"
         "Wants=network-online.target\n\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=\"" + executable.string() + "\"\n"
         "User=root\n"
         // Programs started for the monitoring server run on their own: stopping or restarting
         // the agent ends the agent alone.
         "KillMode=process\n"
         "Restart=on-failure\n\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

}  // namespace

std::filesystem::path UnitDirectory() {
  const char* dir = std::getenv("VORLANE_UNIT_DIR");
  return (dir != nullptr && *dir != '\0') ? dir : "/etc/systemd/system";
}

void InstallService(const std::filesystem::path& executable) {
  const std::filesystem::path unit = UnitDirectory() / kUnitName;
  UniqueFd fd(::open(unit.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!fd) {
    const int error = errno == EEXIST ? kErrorServiceExists : ServiceError(errno);
    std::printf("Could not install service! Error: %d.", error);
    return;
  }
  const std::string text = UnitText(executable);
  if (::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) || ::fsync(fd.get()) != 0) {
    const int error = ServiceError(errno);
    fd.reset();
    ::unlink(unit.c_str());
    std::printf("Could not install service! Error: %d.", error);
    return;
  }
  fd.reset();
  if (SystemdManagesUnits()) {
    if (std::system("systemctl daemon-reload") != 0 || std::system("systemctl enable vorlane.service") != 0) {
      std::fprintf(stderr, "vorlane: the unit is written, but systemctl could not enable it\n");
    }
  }
  std::printf("Install succeeded\n");
}

void UninstallService() {
  const std::filesystem::path unit = UnitDirectory() / kUnitName;
  if (::access(unit.c_str(), F_OK) != 0) {
    std::printf("Error uninstalling service: OpenService failed (error: %d)\n", kErrorServiceDoesNotExist);
    return;
  }
  if (SystemdManagesUnits()) (void)std::system("systemctl disable vorlane.service >/dev/null 2>&1");
  if (::unlink(unit.c_str()) != 0) {
    std::printf("Error uninstalling service: DeleteService failed (error: %d)\n", ServiceError(errno));
    return;
  }
  if (SystemdManagesUnits()) (void)std::system("systemctl daemon-reload");
  std::printf("Unistall succeeded\n");
}

bool StartedBySystemd() { return std::getenv("NOTIFY_SOCKET") != nullptr || std::getenv("INVOCATION_ID") != nullptr; }

int RunAgent(bool console) {
  // Stop and shutdown arrive as signals; every thread leaves them to the wait below. A hang-up
  // (the terminal closed, or a manager asking for a reload the agent does not offer) is a stop
  // too, taken through the same orderly path rather than the default of dying on the spot.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  (void)sd_notify(0, "STATUS=Starting");
  AgentServer server(LocateConfigFiles());
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

  int received = 0;
  while (sigwait(&stopSignals, &received) != 0) {
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
