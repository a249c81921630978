// check_vorlane: a monitoring plugin that runs one check of a Vorlane agent and reports it as
// monitoring systems read plugins: one status line with performance data, and the exit code.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/result.h"
#include "tools/vorlane-query/options.h"

namespace vorlane::plugin {

enum ExitCode { kExitOk = 0, kExitWarning = 1, kExitCritical = 2, kExitUnknown = 3 };

// A threshold range as monitoring plugins write them: "10" (0 to 10), "10:" (10 and above),
// "~:10" (up to 10), "10:20", and "@10:20" (alert inside instead of outside). The ends count as
// inside.
struct Range {
  std::optional<double> start;  // none: no lower end (~)
  std::optional<double> end;    // none: no upper end
  bool alertInside = false;
  std::string text;  // as given, for the performance data

  bool Alerts(double value) const;
};
std::optional<Range> ParseRange(std::string_view text);

struct Parameter {
  std::string name;
  std::string value;
};

struct PluginOptions {
  query::Settings settings;
  std::optional<Range> warning;
  std::optional<Range> critical;
  std::string checkId;
  std::vector<Parameter> parameters;
  int timeoutSeconds = 10;  // the whole exchange
  bool list = false;        // --list: the agent's checks, or the parameters of checkId
  bool help = false;
  bool version = false;
};

struct PluginParse {
  std::optional<PluginOptions> options;
  std::string error;    // a usage error, when options is empty
  std::string warning;  // for standard error
};
PluginParse ParsePluginOptions(const std::vector<std::string>& args, const query::EnvLookup& env);

std::string PluginUsage();
std::string PluginHelp();
std::string PluginVersion();

// The request for --list: listchecks without a check id, that check's definecheck with one; an
// error for a check id a record cannot carry.
Result<std::string> ListRequest(std::string_view checkId);
// The runcheck request for the check and its parameters ("{session}" stands for the session
// id); parameters whose name begins with '*' are secrets, sent base64-encoded. An error when a
// name or value cannot travel in a record.
Result<std::string> RunCheckRequest(std::string_view checkId, const std::vector<Parameter>& parameters);

struct Verdict {
  ExitCode code = kExitUnknown;
  std::string line;  // the status line, without its line end
};

// Judges the agent's answer to runcheck: "up" is OK unless the response time trips a threshold,
// "down" CRITICAL, an error message or an answer of another shape UNKNOWN.
Verdict JudgeAnswer(std::string_view checkId, std::string_view answer, const std::optional<Range>& warning,
                    const std::optional<Range>& critical);

// The status line of a check that could not be run (no connection, refused login, timeout).
std::string UnknownLine(std::string_view checkId, std::string_view reason);

// Text from the agent made fit for a status line: control characters become blanks and '|'
// (which starts the performance data) becomes '/'.
std::string StatusText(std::string_view text);

// The agent's check list (a listchecks answer) and one check's parameters (a definecheck answer)
// as lines an operator reads to write a command line. An error for an answer of another shape.
Result<std::string> DescribeCheckList(std::string_view answer);
Result<std::string> DescribeDefinition(std::string_view answer);

}  // namespace vorlane::plugin
