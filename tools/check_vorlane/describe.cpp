// What --list prints: the agent's checks, and one check's parameters, read from the listchecks
// and definecheck answers.
#include <algorithm>
#include <cerrno>
#include <map>
#include <optional>

#include "tools/check_vorlane/plugin.h"
#include "tools/vorlane-query/records.h"

namespace vorlane::plugin {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// The pairs of a record "#k1=v1#k2=v2#...#" in order, each split at its first '=' (a quoted value,
// such as a nested record, stays one value); a pair without a key is skipped. Nothing when the text
// is no record.
std::optional<Pairs> SplitPairs(std::string_view record) {
  const std::optional<std::vector<std::string_view>> split = query::RecordPairs(record);
  if (!split) return std::nullopt;
  Pairs pairs;
  for (std::string_view pair : *split) {
    if (const size_t equals = pair.find('='); equals != std::string_view::npos && equals > 0) {
      pairs.emplace_back(pair.substr(0, equals), pair.substr(equals + 1));
    }
  }
  return pairs;
}

// "paramtype12" → ("paramtype", 12); a key without a number → (key, 0).
std::pair<std::string_view, int> SplitNumbered(std::string_view key) {
  size_t digits = key.size();
  while (digits > 0 && key[digits - 1] >= '0' && key[digits - 1] <= '9') --digits;
  if (digits == key.size() || key.size() - digits > 6) return {key, 0};
  return {key.substr(0, digits), std::stoi(std::string(key.substr(digits)))};
}

struct ParamInfo {
  std::string name;
  std::string type;
  std::string maxLength;
  std::string defaultValue;
  std::string dependsOn;
  std::vector<std::string> values;
  std::vector<std::string> refreshWith;
};

std::string Quoted(std::string_view name) { return "'" + StatusText(name) + "'"; }

std::string Describe(const ParamInfo& param, const std::map<int, std::string>& names) {
  std::string line = "  " + Quoted(param.name) + "  ";
  if (param.type == "longinteger") {
    line += "number";
    if (!param.maxLength.empty()) line += " up to " + param.maxLength;
  } else if (param.type == "boolean") {
    line += "true or false";
  } else if (param.type == "listdrop" || param.type == "listcombo") {
    line += param.type == "listcombo" ? "one of (or another text)" : "one of";
    if (!param.refreshWith.empty()) line += " the host's values";
    line += ":";
    for (size_t i = 0; i < param.values.size(); ++i) line += (i ? " | " : " ") + StatusText(param.values[i]);
    if (param.values.empty()) line += " (none)";
  } else {
    line += "text";
    if (!param.maxLength.empty()) line += " of up to " + param.maxLength + " characters";
  }
  if (!param.defaultValue.empty()) line += ", default " + StatusText(param.defaultValue);
  if (!param.name.empty() && param.name.front() == '*') line += ", secret (give it in plain text; it is sent encoded)";
  if (!param.dependsOn.empty()) {
    const auto [key, number] = SplitNumbered(param.dependsOn);
    const auto named = names.find(number);
    line += ", used when " + (key == "paramname" && named != names.end() ? Quoted(named->second) : param.dependsOn) +
            " is true";
  }
  if (!param.refreshWith.empty()) {
    line += "; the list is of the host named by";
    for (size_t i = 0; i < param.refreshWith.size(); ++i) line += (i ? ", " : " ") + Quoted(param.refreshWith[i]);
  }
  return line + "\n";
}

}  // namespace

Result<std::string> DescribeCheckList(std::string_view answer) {
  if (query::FieldValue(answer, "responseaction") != "listchecks") {
    return Error{EPROTO, "the agent's answer is no check list: " + StatusText(answer)};
  }
  const std::optional<Pairs> pairs = SplitPairs(answer);
  if (!pairs) return Error{EPROTO, "the agent's answer is no check list: " + StatusText(answer)};
  std::map<int, std::map<std::string, std::string, std::less<>>> checks;
  for (const auto& [key, value] : *pairs) {
    const auto [field, number] = SplitNumbered(key);
    if (number > 0) checks[number][std::string(field)] = value;
  }
  std::string out = "Checks of the agent (check id, description):\n";
  for (const auto& [number, fields] : checks) {
    const auto id = fields.find("checkid");
    if (id == fields.end()) continue;
    const auto description = fields.find("checkdescription");
    const auto available = fields.find("available");
    out += "  " + StatusText(id->second) + "  " + (description != fields.end() ? StatusText(description->second) : "");
    if (available != fields.end() && available->second != "true") out += " (not available)";
    out += "\n";
  }
  return out;
}

Result<std::string> DescribeDefinition(std::string_view answer) {
  if (auto error = query::FieldValue(answer, "errormessage")) return Error{ENOENT, StatusText(*error)};
  // The parameters are a record of their own, carried quoted as one value.
  const std::optional<Pairs> pairs = SplitPairs(answer);
  static const Pairs kNoPairs;
  std::optional<std::string_view> nested;
  for (const auto& [key, value] : pairs ? *pairs : kNoPairs) {
    if (key == "parameters" && value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      nested = std::string_view(value).substr(1, value.size() - 2);
    }
  }
  const std::optional<Pairs> fields =
      !nested ? std::nullopt : nested->empty() ? std::optional<Pairs>(Pairs{}) : SplitPairs(*nested);
  if (!fields || query::FieldValue(answer, "responseaction") != "definecheck") {
    return Error{EPROTO, "the agent's answer is no check definition: " + StatusText(answer)};
  }
  const std::string checkId = query::FieldValue(answer, "checkid").value_or("");
  std::vector<ParamInfo> params;
  std::map<int, size_t> byNumber;
  std::map<int, std::string> names;
  for (const auto& [key, value] : *fields) {
    const auto [field, number] = SplitNumbered(key);
    if (field == "paramname") {
      byNumber[number] = params.size();
      names[number] = value;
      params.push_back(ParamInfo{});
      params.back().name = value;
      continue;
    }
    if (params.empty()) continue;
    // Numbered fields belong to their parameter; list fields to the parameter they follow.
    const auto numbered = byNumber.find(number);
    const bool ownField = field == "paramtype" || field == "maxlength" || field == "default" || field == "dependson";
    ParamInfo& owner = ownField && numbered != byNumber.end() ? params[numbered->second] : params.back();
    if (field == "paramtype") {
      owner.type = value;
    } else if (field == "maxlength") {
      owner.maxLength = value;
    } else if (field == "default") {
      owner.defaultValue = value;
    } else if (field == "dependson") {
      owner.dependsOn = value;
    } else if (field == "value") {
      owner.values.push_back(value);
    } else if (field == "atbutton_param") {
      owner.refreshWith.push_back(value);
    }
  }
  std::string out = "Parameters of " + StatusText(checkId) + " (give each as 'NAME=VALUE'):\n";
  for (const ParamInfo& param : params) out += Describe(param, names);
  if (params.empty()) out += "  (none)\n";
  return out;
}

}  // namespace vorlane::plugin
