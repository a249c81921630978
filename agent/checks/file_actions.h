// The two requests that act on the agent's host: "executefile" starts a program and "deletefile"
// deletes a file, both after expanding the agent's folder and temporary folder placeholders.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "agent/request/agent_context.h"
#include "agent/request/user_handle.h"

namespace vorlane::agent {

inline constexpr std::string_view kAgentFolderPlaceholder = "%path_to_agent%";
inline constexpr std::string_view kTempFolderPlaceholder = "%tmp%";

// The folder of the running executable with its trailing '/'; empty when it cannot be found.
std::string AgentFolder();

// The temporary folder for the agent's account: $TMPDIR when set and not empty, else /tmp/,
// always with a trailing '/'.
std::string TemporaryFolder();

// Replaces every "%path_to_agent%" by `agentFolder`, then every "%tmp%" of the result by
// `tempFolder`; case-sensitive, and an inserted folder is not searched again for the same
// placeholder. An empty folder means it could not be found: its placeholder stays.
std::string ExpandAgentPlaceholders(std::string_view text, const std::string& agentFolder,
                                    const std::string& tempFolder);

// The same with the agent's real folders, each looked up only when its placeholder occurs.
std::string ExpandAgentPlaceholders(std::string_view text);

// "executefile": starts the expanded "CommandLine" detached and answers whether it started.
void HandleExecuteFile(AgentContext& context, UserHandle& user, const std::string& record, int32_t serviceIndex);

// "deletefile": deletes the expanded "FileName" (a file, never a folder) and answers whether it
// was deleted.
void HandleDeleteFile(AgentContext& context, UserHandle& user, const std::string& record, int32_t serviceIndex);

}  // namespace vorlane::agent
