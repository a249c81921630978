// What the request and login handlers share for the life of the agent.
#pragma once

#include "agent/config/agent_config.h"
#include "agent/sessions/session_table.h"
#include "cipher/password.h"

#include <string_view>

namespace vorlane::agent {

class CheckRegistry;

struct AgentContext {
  SessionTable& sessions;
  ConfigPaths paths;
  const cipher::PasswordCipher& cipher;
  // The handlers of runcheck; none registered when null.
  const CheckRegistry* checks = nullptr;
  // From the general settings, set once at start before the first request.
  HttpsTrust https{};
  // The version agentinfo reports.
  std::string_view agentVersion{};
};

}  // namespace vorlane::agent
