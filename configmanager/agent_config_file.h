// AgentConfig.INI as the configuration program reads and writes it: through the profile layer,
// one key at a time, so that the agent may read the file at any moment (each write replaces the
// file whole). The dialog and the command line both edit the file through this class alone.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "cipher/password.h"
#include "configmanager/entry_checks.h"
#include "platform/base/result.h"

namespace vorlane::ostmere {

class AgentConfigFile {
 public:
  // Opens `given` for reading, creating it empty (readable by its owner alone, as it holds the
  // passwords) when it does not exist. The file's absolute path, or `given` unchanged when it
  // could not be opened or created; reading such a file yields the defaults.
  static std::filesystem::path OpenOrCreate(const std::filesystem::path& given);

  explicit AgentConfigFile(std::filesystem::path path) : path_(std::move(path)) {}

  const std::filesystem::path& Path() const { return path_; }

  // Protocol "Telnet" (without case) is index 0, anything else, a missing one included, 1 (SSH);
  // the port as the number edit shows it, empty when the key is missing or negative.
  GeneralFields ReadGeneral() const;

  // The names of the user/group sections in file order: every section but the general one.
  std::vector<std::string> UserSections() const;

  // True when a user/group section of that name (without case) exists.
  bool HasUser(std::string_view type) const;

  // The entry of section `type`, its password deciphered.
  UserFields ReadUser(std::string_view type, const cipher::PasswordCipher& cipher) const;

  // Writes Protocol (the item's name) and Port (the number in decimal) to the general section.
  // The fields must have passed CheckGeneral. The first failing write ends the operation.
  Status WriteGeneral(const GeneralFields& general) const;

  // Writes Range, UserName and Password (enciphered) to the section named by the type, creating
  // it when needed. The fields must have passed CheckUser.
  Status WriteUser(const UserFields& user, const cipher::PasswordCipher& cipher) const;

  // Removes the whole section.
  Status DeleteUser(std::string_view type) const;

 private:
  std::filesystem::path path_;
};

// The text that reports a failed write: the file and the system's reason.
std::string WriteFailureMessage(const std::filesystem::path& file, const Error& error);

}  // namespace vorlane::ostmere
