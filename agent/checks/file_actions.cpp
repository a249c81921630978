#include "agent/checks/file_actions.h"

#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "agent/checks/process_launch.h"
#include "agent/log/agent_log.h"
#include "agent/request/answer.h"
#include "agent/request/reply.h"
#include "agent/request/record.h"
#include "platform/base/replace.h"

namespace vorlane::agent {
namespace {

constexpr std::string_view kKeyCommandLine = "CommandLine";
constexpr std::string_view kKeyFileName = "FileName";

constexpr std::string_view kExecuteStartedAnswer =
    "#keycount=3#responseaction=executefile#result=up#resultstring=Execute file started ok#";
constexpr std::string_view kExecuteFailedAnswer =
    "#keycount=3#responseaction=executefile#result=down#resultstring=Error: %s#";
constexpr std::string_view kDeletedAnswer =
    "#keycount=3#responseaction=deletefile#result=up#resultstring=File was deleted with success#";
constexpr std::string_view kDeleteFailedAnswer =
    "#keycount=3#responseaction=deletefile#result=down#resultstring=Error: %s#";

constexpr std::string_view kDefaultTempFolder = "/tmp/";

// The system takes names and arguments as C strings: a NUL byte would silently cut the value
// there, so that "victim\0.bak" names "victim". Such a value is refused instead.
constexpr std::string_view kFileNameHoldsNul = "The file name holds a NUL byte.";
constexpr std::string_view kCommandLineHoldsNul = "The command line holds a NUL byte.";

std::string WithTrailingSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

}  // namespace

std::string AgentFolder() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path);
  // A result that fills the buffer may have been cut: then the folder is not known.
  if (n <= 0 || static_cast<size_t>(n) >= sizeof path) return {};
  std::string exe(path, static_cast<size_t>(n));
  const size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return {};
  exe.resize(slash + 1);
  return exe;
}

std::string TemporaryFolder() {
  const char* tmpdir = std::getenv("TMPDIR");
  if (tmpdir != nullptr && *tmpdir != '\0') return WithTrailingSlash(tmpdir);
  return std::string(kDefaultTempFolder);
}

std::string ExpandAgentPlaceholders(std::string_view text, const std::string& agentFolder,
                                    const std::string& tempFolder) {
  std::string result(text);
  if (!agentFolder.empty()) result = ReplaceAll(std::move(result), kAgentFolderPlaceholder, agentFolder);
  if (!tempFolder.empty()) result = ReplaceAll(std::move(result), kTempFolderPlaceholder, tempFolder);
  return result;
}

std::string ExpandAgentPlaceholders(std::string_view text) {
  // The temporary placeholder is looked for after the agent's folder is in, as that folder could
  // itself hold "%tmp%".
  std::string result(text);
  if (result.find(kAgentFolderPlaceholder) != std::string::npos)
    result = ExpandAgentPlaceholders(result, AgentFolder(), std::string());
  if (result.find(kTempFolderPlaceholder) != std::string::npos)
    result = ExpandAgentPlaceholders(result, std::string(), TemporaryFolder());
  return result;
}

void HandleExecuteFile(AgentContext& /*context*/, UserHandle& user, const std::string& record,
                       int32_t serviceIndex) {
  const std::string commandLine = ExpandAgentPlaceholders(GetRecordValue(record, kKeyCommandLine));
  Log(commandLine, kLogInfo);
  if (HoldsNul(commandLine)) {
    Reply(user, FormatAnswer(kExecuteFailedAnswer, {kCommandLineHoldsNul}, kShortAnswerBuffer),
          serviceIndex);
    return;
  }
  const int error = StartDetachedProcess(commandLine);
  if (error == 0) {
    Reply(user, std::string(kExecuteStartedAnswer), serviceIndex);
    return;
  }
  Reply(user, FormatAnswer(kExecuteFailedAnswer, {SystemMessageText(error)}, kShortAnswerBuffer), serviceIndex);
}

void HandleDeleteFile(AgentContext& /*context*/, UserHandle& user, const std::string& record, int32_t serviceIndex) {
  const std::string fileName = ExpandAgentPlaceholders(GetRecordValue(record, kKeyFileName));
  if (HoldsNul(fileName)) {
    Reply(user, FormatAnswer(kDeleteFailedAnswer, {kFileNameHoldsNul}, kShortAnswerBuffer),
          serviceIndex);
    return;
  }
  // unlink never removes a folder (Linux answers EISDIR), and an empty name fails with ENOENT.
  if (::unlink(fileName.c_str()) == 0) {
    Reply(user, std::string(kDeletedAnswer), serviceIndex);
    return;
  }
  const int error = errno;
  Reply(user, FormatAnswer(kDeleteFailedAnswer, {SystemMessageText(error)}, kShortAnswerBuffer), serviceIndex);
}

}  // namespace vorlane::agent
