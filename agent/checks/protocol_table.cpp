#include "agent/checks/protocol_table.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agent/request/answer.h"
#include "platform/base/unique_fd.h"
#include "platform/profile/profile.h"

namespace vorlane::agent {
namespace {

// Read limits of the table.
constexpr size_t kSectionBuffer = 4096;
constexpr size_t kTextBuffer = 1024;
constexpr size_t kSectionNamesBuffer = 65535;

constexpr std::string_view kKeyDefaultPort = "DPORT";
constexpr std::string_view kKeyDefault = "default";

}  // namespace

std::optional<ProtocolSettings> ReadProtocolSettings(const std::filesystem::path& table, std::string_view name) {
  if (profile::GetSection(table, name, kSectionBuffer).empty()) return std::nullopt;
  ProtocolSettings settings;
  settings.defaultPort = profile::GetInt(table, name, kKeyDefaultPort, 0);
  settings.receiveOnConnect = profile::GetString(table, name, "PROC", "", kTextBuffer);
  settings.receiveOnConnectCompare = profile::GetInt(table, name, "PROCC", 0);
  settings.sendOnConnect = profile::GetString(table, name, "PSOC", "", kTextBuffer);
  settings.receiveAsResponse = profile::GetString(table, name, "PRAR", "", kTextBuffer);
  settings.receiveAsResponseCompare = profile::GetInt(table, name, "PRARC", 0);
  settings.sendOnDisconnect = profile::GetString(table, name, "PSOD", "", kTextBuffer);
  settings.waitOnDisconnect = profile::GetInt(table, name, "PWOD", 0) != 0;
  return settings;
}

bool ProtocolTableAvailable(const std::filesystem::path& table) {
  // Opened as a reader would open it (an existing file only); a folder or a file this process
  // may not read is not available.
  const UniqueFd fd(::open(table.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return false;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  return info.st_size != 0;
}

ProtocolList BuildProtocolList(const std::filesystem::path& table) {
  ProtocolList list;
  std::string entries = "#";
  std::string defaultEntry;
  int32_t count = 0;
  for (const std::string& name : profile::GetSectionNames(table, kSectionNamesBuffer)) {
    if (!FitsInAnswerValue(name)) continue;
    const int32_t port = profile::GetInt(table, name, kKeyDefaultPort, 0);
    if (profile::GetInt(table, name, kKeyDefault, 0) != 0) {
      // A later section marked default replaces an earlier one.
      defaultEntry = FormatAnswer("default1=%s:%d#", {name, port});
      list.hasDefault = true;
      list.defaultPort = port;
    }
    ++count;
    entries += FormatAnswer("value%d=%s:%d#", {count, name, port});
  }
  if (count == 0) return list;
  list.text = entries + defaultEntry;
  list.count = count;
  return list;
}

}  // namespace vorlane::agent
