// What every check is made of: one declaration (identifiers, description, parameters, handler)
// from which the catalogue writes listchecks and definecheck, and an outcome that the handler
// returns and one place turns into the single runcheck answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "agent/request/agent_context.h"
#include "agent/request/answer.h"
#include "agent/request/user_handle.h"

namespace vorlane::agent {

// What a check found, before it is an answer: up or down with a result text (and, for the
// checks that time what they did, the response time in ms), or an error text when the check
// could not be made at all.
struct CheckOutcome {
  enum class Kind { kUp, kDown, kError };
  Kind kind = Kind::kError;
  std::string text;
  std::optional<long long> responseTime;
  // The answer is at most this long with its terminator, reached by shortening the text.
  size_t bufferSize = kUnboundedAnswer;
  // Answers that end a check before its work started are logged before they go out.
  bool logBeforeSending = false;
  // What must outlive the answer: the connection to a remote host, cancelled once the answer is
  // out, as the server expects of a check it waits for.
  std::shared_ptr<void> heldUntilAnswered;

  static CheckOutcome Judged(bool up, std::string text, std::optional<long long> responseTime = std::nullopt) {
    CheckOutcome outcome;
    outcome.kind = up ? Kind::kUp : Kind::kDown;
    outcome.text = std::move(text);
    outcome.responseTime = responseTime;
    return outcome;
  }
  static CheckOutcome Error(std::string text) {
    CheckOutcome outcome;
    outcome.text = std::move(text);
    return outcome;
  }
};

// The runcheck answer of check `checkId` (its announced identifier) for `outcome`:
//   "#keycount=3#responseaction=runcheck#checkid=ID#result=up|down#resultstring=TEXT[@@RTO=N]#"
//   "#keycount=3#responseaction=runcheck#checkid=ID#errormessage=TEXT#"
std::string FormatCheckAnswer(std::string_view checkId, const CheckOutcome& outcome);
// Sends that answer on `serviceIndex` and logs it as outgoing (first, when the outcome asks so).
void SendCheckAnswer(UserHandle& user, int32_t serviceIndex, std::string_view checkId, const CheckOutcome& outcome);

enum class ParamType { kText, kLongInteger, kBoolean, kListDrop, kListCombo };

// One parameter of a check's definition, as the operator's form shows it. Its name is the key
// under which runcheck carries the value.
struct ParamDeclaration {
  std::string_view name;
  ParamType type = ParamType::kText;
  std::optional<long long> maxLength;
  std::optional<long long> defaultValue;
  // A list parameter's fixed choices; none for a list built on the host (`hostList`).
  std::span<const std::string_view> values;
  bool hostList = false;
  // A host-built list parameter whose default is the host's (the protocol table's default port).
  bool hostDefault = false;
  // The parameters whose values refresh a listcombo's list (getcomboparamvalues).
  std::span<const std::string_view> refreshWith;
  bool sorted = false;
  // 1-based number of the boolean parameter this one depends on; 0 for none.
  int dependsOn = 0;
  // The service list's definition has always carried one empty pair after its list; servers
  // read past it, and the text stays as they know it.
  bool emptyPairAfter = false;
};

// The parameters as the declarations write them.
constexpr ParamDeclaration TextParam(std::string_view name, std::optional<long long> maxLength = std::nullopt,
                                     int dependsOn = 0) {
  ParamDeclaration param;
  param.name = name;
  param.maxLength = maxLength;
  param.dependsOn = dependsOn;
  return param;
}
constexpr ParamDeclaration NumberParam(std::string_view name, long long maxLength,
                                       std::optional<long long> defaultValue = std::nullopt) {
  ParamDeclaration param = TextParam(name, maxLength);
  param.type = ParamType::kLongInteger;
  param.defaultValue = defaultValue;
  return param;
}
constexpr ParamDeclaration BooleanParam(std::string_view name) {
  ParamDeclaration param = TextParam(name);
  param.type = ParamType::kBoolean;
  return param;
}
constexpr ParamDeclaration ChoiceParam(std::string_view name, std::span<const std::string_view> values) {
  ParamDeclaration param = TextParam(name);
  param.type = ParamType::kListDrop;
  param.values = values;
  return param;
}
// A list the host computes, shown sorted: a listcombo refreshed with `refreshWith`, or (with
// none) a listdrop.
constexpr ParamDeclaration HostListParam(std::string_view name, std::span<const std::string_view> refreshWith = {}) {
  ParamDeclaration param = TextParam(name);
  param.type = refreshWith.empty() ? ParamType::kListDrop : ParamType::kListCombo;
  param.hostList = true;
  param.refreshWith = refreshWith;
  param.sorted = true;
  return param;
}

// The list a definition takes from the host: "#value1=...": its count and text as the list
// builders write them, with the host's default for a parameter that has one.
struct HostValues {
  long long count = 0;
  std::string text;
  std::optional<long long> defaultValue;
};
// The host's values, or the error text of the answer that replaces the definition when they
// cannot be had (the check's error answer, whose action reads runcheck, as servers know it).
using HostValuesOrError = std::variant<HostValues, std::string>;

struct CheckDeclaration {
  // The identifier the agent announces, and the one further identifier it accepts (may be empty).
  std::string_view id;
  std::string_view alias;
  std::string_view description;
  std::span<const ParamDeclaration> params;
  // Runs the check on the request's parameters (`record`); never sends anything itself.
  CheckOutcome (*run)(AgentContext& context, const std::string& record) = nullptr;
  // The list the definition takes from this host; null for a check without one.
  HostValuesOrError (*hostValues)(const std::filesystem::path& tcpConfig) = nullptr;
  // Whether listchecks offers the check as available; null: always.
  bool (*available)(const std::filesystem::path& tcpConfig) = nullptr;
};

}  // namespace vorlane::agent
