#include "configmanager/command_line.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <istream>
#include <ostream>

#include "cipher/password.h"
#include "configmanager/agent_config_file.h"
#include "configmanager/entry_checks.h"
#include "configmanager/texts.h"

namespace vorlane::ostmere {

namespace {

constexpr std::string_view kUsage =
    "usage: ostmere [FILE]                  edit FILE (AgentConfig.INI) in the dialog\n"
    "       ostmere --list FILE             print the general settings and the users (no passwords)\n"
    "       ostmere --set-general FILE PROTOCOL PORT\n"
    "                                       set Protocol (Telnet or SSH) and Port\n"
    "       ostmere --set-user FILE SECTION USER [RANGE]\n"
    "                                       add or replace a user/group entry; the password is the\n"
    "                                       first line of standard input\n"
    "       ostmere --delete-user FILE SECTION\n"
    "                                       remove a user/group entry\n"
    "       ostmere --help\n";

int Refuse(std::ostream& err, std::string_view message) {
  err << message << '\n';
  return kExitRefused;
}

int Usage(std::ostream& err) {
  err << kUsage;
  return kExitUsage;
}

int Written(Status status, const std::filesystem::path& file, std::ostream& err) {
  if (status) return kExitDone;
  return Refuse(err, WriteFailureMessage(file, status.error()));
}

int List(const std::filesystem::path& given, std::ostream& out, std::ostream& err) {
  if (::access(given.c_str(), R_OK) != 0) {
    return Refuse(err, "Cannot read \"" + given.string() + "\": " + std::strerror(errno));
  }
  const AgentConfigFile file(given);
  const GeneralFields general = file.ReadGeneral();
  out << '[' << kGeneralSection << "]\n"
      << kProtocolKey << '=' << kProtocolNames[general.protocolIndex] << '\n'
      << kPortKey << '=' << general.port << '\n';
  const cipher::PasswordCipher cipher;
  for (const std::string& type : file.UserSections()) {
    const UserFields user = file.ReadUser(type, cipher);
    out << '[' << type << "]\n" << kUserNameKey << '=' << user.userName << '\n' << kRangeKey << '=' << user.range << '\n';
  }
  return kExitDone;
}

int SetGeneral(const std::filesystem::path& given, std::string_view protocol, std::string_view port, std::ostream& err) {
  const auto index = ProtocolIndex(protocol);
  if (!index) {
    err << "The protocol is Telnet or SSH!\n";
    return kExitUsage;
  }
  const GeneralFields general{*index, std::string(port)};
  if (auto refusal = CheckGeneral(general)) return Refuse(err, refusal->message);
  const AgentConfigFile file(AgentConfigFile::OpenOrCreate(given));
  return Written(file.WriteGeneral(general), file.Path(), err);
}

int SetUser(const std::filesystem::path& given, const std::vector<std::string>& args, std::istream& in,
            std::ostream& err) {
  UserFields user{args[2], args.size() > 4 ? args[4] : std::string(), args[3], std::string()};
  if (std::getline(in, user.password) && !user.password.empty() && user.password.back() == '\r') {
    user.password.pop_back();
  }
  if (auto refusal = CheckUser(user)) return Refuse(err, refusal->message);
  const AgentConfigFile file(AgentConfigFile::OpenOrCreate(given));
  const cipher::PasswordCipher cipher;
  return Written(file.WriteUser(user, cipher), file.Path(), err);
}

int DeleteUser(const std::filesystem::path& given, std::string_view type, std::ostream& err) {
  if (IsGeneralSection(type)) return Refuse(err, kReservedType);
  const AgentConfigFile file(given);
  if (!file.HasUser(type)) {
    return Refuse(err, "There is no user/group \"" + std::string(type) + "\" in \"" + given.string() + "\"!");
  }
  return Written(file.DeleteUser(type), file.Path(), err);
}

}  // namespace

std::string DialogPath(const std::vector<std::string>& args) {
  std::string path;
  for (size_t i = 0; i < args.size(); ++i) path += (i == 0 ? "" : " ") + args[i];
  return path;
}

bool IsCommandLine(const std::vector<std::string>& args) { return !args.empty() && args[0].starts_with("--"); }

int RunCommandLine(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
  if (args.empty()) return Usage(err);
  const std::string& command = args[0];
  const size_t count = args.size();
  if (command == "--help" && count == 1) {
    out << kUsage;
    return kExitDone;
  }
  if (command == "--list" && count == 2) return List(args[1], out, err);
  if (command == "--set-general" && count == 4) return SetGeneral(args[1], args[2], args[3], err);
  if (command == "--set-user" && (count == 4 || count == 5)) return SetUser(args[1], args, in, err);
  if (command == "--delete-user" && count == 3) return DeleteUser(args[1], args[2], err);
  return Usage(err);
}

}  // namespace vorlane::ostmere
