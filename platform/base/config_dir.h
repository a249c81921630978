// The folder that holds the configuration files (and what the programs keep beside them, such
// as the SSH host keys): $VORLANE_CONFIG_DIR when set and not empty, else the folder of the
// running executable.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace vorlane {

inline std::filesystem::path ConfigDirectory() {
  if (const char* dir = std::getenv("VORLANE_CONFIG_DIR"); dir != nullptr && *dir != '\0') return dir;
  std::error_code error;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::filesystem::current_path(error);
  return exe.parent_path();
}

}  // namespace vorlane
