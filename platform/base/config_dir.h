// The folder that holds the configuration files (and what the programs keep beside them, such
// as the SSH host keys): $VORLANE_CONFIG_DIR when set and not empty, else the folder of the
// running executable.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace vorlane {

inline std::filesystem::path ConfigDirectory() {
  if (const char* dir = std::getenv("VORLANE_CONFIG_DIR"); dir != nullptr && *dir != '\0') return dir;
  std::error_code error;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::filesystem::current_path(error);
  return exe.parent_path();
}

// The folder of what the agent writes for itself (SSH host keys, known hosts of remote hosts):
// $STATE_DIRECTORY, which systemd sets for a unit's StateDirectory=, else ConfigDirectory().
inline std::filesystem::path StateDirectory() {
  if (const char* dir = std::getenv("STATE_DIRECTORY"); dir != nullptr && *dir != '\0') {
    // systemd separates several state folders with ':'; the first is the agent's own.
    std::string_view first(dir);
    return std::filesystem::path(first.substr(0, first.find(':')));
  }
  return ConfigDirectory();
}

}  // namespace vorlane
