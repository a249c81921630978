#include "configmanager/agent_config_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "configmanager/texts.h"
#include "platform/profile/profile.h"

namespace vorlane::ostmere {

namespace {

// The buffers the fields are read with: the protocol name, and the user fields as the agent
// reads them.
constexpr size_t kProtocolBuffer = 10;
constexpr size_t kUserFieldBuffer = kAgentUserFieldLength + 1;
constexpr size_t kSectionNamesBuffer = 65535;

}  // namespace

std::filesystem::path AgentConfigFile::OpenOrCreate(const std::filesystem::path& given) {
  int fd = ::open(given.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return given;
  ::close(fd);
  std::error_code error;
  std::filesystem::path full = std::filesystem::absolute(given, error);
  if (error) return given;
  return full.lexically_normal();
}

GeneralFields AgentConfigFile::ReadGeneral() const {
  const profile::Snapshot file(path_);
  GeneralFields general;
  const std::string protocol = file.GetString(kGeneralSection, kProtocolKey, "", kProtocolBuffer);
  general.protocolIndex = ProtocolIndex(protocol) == 0 ? 0 : 1;  // anything but Telnet is SSH
  const int port = file.GetInt(kGeneralSection, kPortKey, -1);
  if (port >= 0) general.port = std::to_string(port);
  return general;
}

std::vector<std::string> AgentConfigFile::UserSections() const {
  std::vector<std::string> users;
  for (std::string& name : profile::GetSectionNames(path_, kSectionNamesBuffer)) {
    if (!IsGeneralSection(name)) users.push_back(std::move(name));
  }
  return users;
}

bool AgentConfigFile::HasUser(std::string_view type) const {
  for (const std::string& name : UserSections()) {
    if (EqualsIgnoringAsciiCase(name, type)) return true;
  }
  return false;
}

UserFields AgentConfigFile::ReadUser(std::string_view type, const cipher::PasswordCipher& cipher) const {
  const profile::Snapshot file(path_);
  UserFields user;
  user.type = std::string(type);
  user.range = file.GetString(type, kRangeKey, "", kUserFieldBuffer);
  user.userName = file.GetString(type, kUserNameKey, "", kUserFieldBuffer);
  user.password = cipher.DecipherPassword(file.GetString(type, kPasswordKey, "", kUserFieldBuffer));
  return user;
}

Status AgentConfigFile::WriteGeneral(const GeneralFields& general) const {
  const int index = general.protocolIndex == 0 ? 0 : 1;
  if (Status s = profile::WriteString(path_, kGeneralSection, kProtocolKey, kProtocolNames[index]); !s) return s;
  const auto port = ParsePort(general.port);
  return profile::WriteString(path_, kGeneralSection, kPortKey, port ? std::to_string(*port) : general.port);
}

Status AgentConfigFile::WriteUser(const UserFields& user, const cipher::PasswordCipher& cipher) const {
  if (Status s = profile::WriteString(path_, user.type, kRangeKey, user.range); !s) return s;
  if (Status s = profile::WriteString(path_, user.type, kUserNameKey, user.userName); !s) return s;
  return profile::WriteString(path_, user.type, kPasswordKey, cipher.EncipherPassword(user.password));
}

Status AgentConfigFile::DeleteUser(std::string_view type) const { return profile::DeleteSection(path_, type); }

std::string WriteFailureMessage(const std::filesystem::path& file, const Error& error) {
  std::string reason = error.code != 0 ? std::strerror(error.code) : error.message;
  // The profile layer refuses names and values that would not read back as written.
  if (error.code == EINVAL) reason = "the file cannot hold this name or value (" + reason + ")";
  return "The changes could not be saved to \"" + file.string() + "\":\n" + reason;
}

}  // namespace vorlane::ostmere
