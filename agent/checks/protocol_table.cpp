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
  // One reading of the table for all its keys: every check reads it anew, so that an edit
  // counts from the next check on.
  const profile::Snapshot file(table);
  if (file.GetSection(name, kSectionBuffer).empty()) return std::nullopt;
  ProtocolSettings settings;
  settings.defaultPort = file.GetInt(name, kKeyDefaultPort, 0);
  settings.receiveOnConnect = file.GetString(name, "PROC", "", kTextBuffer);
  settings.receiveOnConnectCompare = file.GetInt(name, "PROCC", 0);
  settings.sendOnConnect = file.GetString(name, "PSOC", "", kTextBuffer);
  settings.receiveAsResponse = file.GetString(name, "PRAR", "", kTextBuffer);
  settings.receiveAsResponseCompare = file.GetInt(name, "PRARC", 0);
  settings.sendOnDisconnect = file.GetString(name, "PSOD", "", kTextBuffer);
  settings.waitOnDisconnect = file.GetInt(name, "PWOD", 0) != 0;
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
  const profile::Snapshot file(table);
  for (const std::string& name : file.GetSectionNames(kSectionNamesBuffer)) {
    if (!FitsInAnswerValue(name)) continue;
    const int32_t port = file.GetInt(name, kKeyDefaultPort, 0);
    if (file.GetInt(name, kKeyDefault, 0) != 0) {
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
