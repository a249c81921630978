// The handlers that runcheck hands a request to, one per check.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "agent/checks/check_declaration.h"
#include "agent/request/agent_context.h"
#include "agent/request/user_handle.h"

namespace vorlane::agent {

// Runs one check: reads its parameters from `record` by name, sends exactly one answer through
// `user` with `serviceIndex` and logs it as outgoing.
using CheckHandler =
    std::function<void(AgentContext& context, UserHandle& user, const std::string& record, int32_t serviceIndex)>;

// Check handlers keyed by the check's announced identifier. A handler registered under "DC" also
// serves "DC__3", and so on for every pair of identifiers of the catalogue.
class CheckRegistry {
 public:
  // `checkId` is either identifier of a catalogued check; registering again replaces the
  // handler. Any other identifier is a programming error (std::invalid_argument).
  void Register(std::string_view checkId, CheckHandler handler);

  // The handler for a request's `checkid`, compared byte for byte; null when the identifier is
  // not catalogued or its check has no handler.
  const CheckHandler* Find(std::string_view checkId) const;

  bool Empty() const { return handlers_.empty(); }

 private:
  std::map<std::string, CheckHandler, std::less<>> handlers_;
};

// The handler of a declared check: runs it and sends the one answer its outcome gives.
CheckHandler DeclaredHandler(const CheckDeclaration& check);

// Registers every declared check under its announced identifier.
void RegisterDeclaredChecks(CheckRegistry& registry);

}  // namespace vorlane::agent
