#include "agent/protocol/check_registry.h"

#include <stdexcept>
#include <utility>

#include "agent/protocol/check_catalogue.h"

namespace vorlane::agent {

void CheckRegistry::Register(std::string_view checkId, CheckHandler handler) {
  const std::optional<std::string_view> check = CanonicalCheckId(checkId);
  if (!check) throw std::invalid_argument("not a catalogued check: " + std::string(checkId));
  if (!handler) throw std::invalid_argument("empty handler for check " + std::string(checkId));
  handlers_.insert_or_assign(std::string(*check), std::move(handler));
}

const CheckHandler* CheckRegistry::Find(std::string_view checkId) const {
  const std::optional<std::string_view> check = CanonicalCheckId(checkId);
  if (!check) return nullptr;
  auto it = handlers_.find(*check);
  return it == handlers_.end() ? nullptr : &it->second;
}

CheckHandler DeclaredHandler(const CheckDeclaration& check) {
  return [&check](AgentContext& context, UserHandle& user, const std::string& record, int32_t serviceIndex) {
    SendCheckAnswer(user, serviceIndex, check.id, check.run(context, record));
  };
}

void RegisterDeclaredChecks(CheckRegistry& registry) {
  for (const CheckDeclaration* check : CheckDeclarations()) registry.Register(check->id, DeclaredHandler(*check));
}

}  // namespace vorlane::agent
