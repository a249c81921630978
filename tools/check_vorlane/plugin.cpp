#include "tools/check_vorlane/plugin.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <span>

#include "cipher/base64.h"
#include "tools/vorlane-query/records.h"

namespace vorlane::plugin {
namespace {

constexpr std::string_view kRtoMark = "@@RTO=";

std::optional<double> ParseNumber(std::string_view text) {
  if (text.empty() || text.find_first_not_of("+-.0123456789") != std::string_view::npos) return std::nullopt;
  const std::string copy(text);
  char* end = nullptr;
  const double value = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

// Splits "text@@RTO=123" into the text and the response time in milliseconds.
std::pair<std::string_view, std::optional<long long>> SplitResponseTime(std::string_view text) {
  const size_t mark = text.rfind(kRtoMark);
  if (mark == std::string_view::npos) return {text, std::nullopt};
  const std::string_view digits = text.substr(mark + kRtoMark.size());
  if (digits.empty() || digits.size() > 12 || digits.find_first_not_of("0123456789") != std::string_view::npos) {
    return {text, std::nullopt};
  }
  return {text.substr(0, mark), std::stoll(std::string(digits))};
}

std::string Seconds(long long milliseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%03lld", milliseconds / 1000, milliseconds % 1000);
  return text;
}

bool CannotTravel(char c) { return c == '#' || c == '\r' || c == '\n' || c == '\0'; }

}  // namespace

bool Range::Alerts(double value) const {
  const bool inside = (!start || value >= *start) && (!end || value <= *end);
  return alertInside ? inside : !inside;
}

std::optional<Range> ParseRange(std::string_view text) {
  Range range;
  range.text = std::string(text);
  if (!text.empty() && text.front() == '@') {
    range.alertInside = true;
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    range.start = 0;
    range.end = ParseNumber(text);
    if (!range.end) return std::nullopt;
  } else {
    const std::string_view low = text.substr(0, colon);
    const std::string_view high = text.substr(colon + 1);
    if (low != "~") {
      range.start = low.empty() ? std::optional<double>(0) : ParseNumber(low);
      if (!range.start) return std::nullopt;
    }
    if (!high.empty()) {
      range.end = ParseNumber(high);
      if (!range.end) return std::nullopt;
    }
  }
  if (range.start && range.end && *range.start > *range.end) return std::nullopt;
  return range;
}

namespace {

bool CannotTravelIn(std::string_view text) { return std::any_of(text.begin(), text.end(), CannotTravel); }

std::optional<Error> BadCheckId(std::string_view checkId) {
  if (checkId.empty() || CannotTravelIn(checkId) || checkId.find('=') != std::string_view::npos) {
    return Error{EINVAL, "bad check id \"" + StatusText(checkId) + "\""};
  }
  return std::nullopt;
}

}  // namespace

Result<std::string> ListRequest(std::string_view checkId) {
  if (checkId.empty()) return std::string("#keycount=2#requestaction=listchecks#sessionid={session}#");
  if (std::optional<Error> error = BadCheckId(checkId)) return *error;
  return "#keycount=3#requestaction=definecheck#sessionid={session}#checkid=" + std::string(checkId) + "#";
}

Result<std::string> RunCheckRequest(std::string_view checkId, const std::vector<Parameter>& parameters) {
  if (std::optional<Error> error = BadCheckId(checkId)) return *error;
  auto bad = CannotTravelIn;
  std::string pairs;
  std::set<std::string> seen;
  for (const Parameter& parameter : parameters) {
    if (parameter.name.empty() || bad(parameter.name) || parameter.name.find('=') != std::string::npos) {
      return Error{EINVAL, "bad parameter name \"" + StatusText(parameter.name) +
                               "\" (give NAME=VALUE; a name holds no '#', '=' or line end)"};
    }
    if (!seen.insert(parameter.name).second) return Error{EINVAL, "parameter " + parameter.name + " given twice"};
    const bool secret = parameter.name.front() == '*';
    if (!secret && bad(parameter.value)) {
      return Error{EINVAL, "the value of " + parameter.name + " holds a '#' or a line end, which a record cannot carry"};
    }
    std::string value = parameter.value;
    if (secret && !value.empty()) {
      value = cipher::Base64EncodeToString(
          std::span(reinterpret_cast<const uint8_t*>(parameter.value.data()), parameter.value.size()));
    }
    pairs += parameter.name + "=" + value + "#";
  }
  return "#keycount=" + std::to_string(3 + parameters.size()) + "#requestaction=runcheck#sessionid={session}#checkid=" +
         std::string(checkId) + "#" + pairs;
}

std::string StatusText(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    if (c == '|') c = '/';
  }
  return out;
}

std::string UnknownLine(std::string_view checkId, std::string_view reason) {
  std::string line = "VORLANE ";
  if (!checkId.empty()) line += StatusText(checkId) + " ";
  return line + "UNKNOWN - " + StatusText(reason);
}

Verdict JudgeAnswer(std::string_view checkId, std::string_view answer, const std::optional<Range>& warning,
                    const std::optional<Range>& critical) {
  const std::string prefix = "VORLANE " + StatusText(checkId) + " ";
  if (auto error = query::FieldValue(answer, "errormessage")) {
    return {kExitUnknown, prefix + "UNKNOWN - " + StatusText(*error)};
  }
  const std::optional<std::string> result = query::FieldValue(answer, "result");
  const std::optional<std::string> resultText = query::FieldValue(answer, "resultstring");
  if (!result || !resultText || (*result != "up" && *result != "down")) {
    return {kExitUnknown, prefix + "UNKNOWN - the agent's answer holds no result: " + StatusText(answer)};
  }
  const auto [text, milliseconds] = SplitResponseTime(*resultText);
  ExitCode code = *result == "up" ? kExitOk : kExitCritical;
  std::string note;
  if (code == kExitOk && milliseconds) {
    const double seconds = static_cast<double>(*milliseconds) / 1000;
    const Range* tripped = nullptr;
    if (critical && critical->Alerts(seconds)) {
      code = kExitCritical;
      tripped = &*critical;
    } else if (warning && warning->Alerts(seconds)) {
      code = kExitWarning;
      tripped = &*warning;
    }
    if (tripped) {
      note = " (response time " + Seconds(*milliseconds) + " s, " + (code == kExitCritical ? "critical" : "warning") +
             " range " + tripped->text + ")";
    }
  }
  static constexpr std::string_view kStates[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
  std::string line = prefix + std::string(kStates[code]) + " - " + StatusText(text) + note;
  if (milliseconds) {
    line += "|time=" + Seconds(*milliseconds) + "s;" + (warning ? warning->text : "") + ";" +
            (critical ? critical->text : "") + ";0;";
  }
  return {code, std::move(line)};
}

}  // namespace vorlane::plugin
