// The agent as a system service: installing and removing its systemd unit, and running it.
#pragma once

#include <filesystem>
#include <string>

namespace vorlane::agent {

inline constexpr const char* kServiceName = "Tarnquist's Remote Agent for Windows";
inline constexpr const char* kUnitName = "vorlane.service";

// $VORLANE_UNIT_DIR when set, else /etc/systemd/system.
std::filesystem::path UnitDirectory();

// Write and enable the unit, or disable and remove it; print the outcome on standard output.
// False when they printed an error.
bool InstallService(const std::filesystem::path& executable);
bool UninstallService();

// True when systemd started this process (it passes the notification socket or an invocation
// id), which is when running without arguments serves as the service.
bool StartedBySystemd();

// Runs the agent until SIGTERM or SIGINT (SIGHUP reloads): under systemd reporting its state with sd_notify, in
// the console with the log on the terminal. Returns the exit code: in the console, non-zero
// when the server could not start (nothing would ever be served).
int RunAgent(bool console);

}  // namespace vorlane::agent
