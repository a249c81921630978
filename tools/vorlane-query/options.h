// The command line of vorlane-query: what to connect to, how to log in, and what to send.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/result.h"

namespace vorlane::query {

enum class Protocol { kSsh, kTelnet };

struct Settings {
  Protocol protocol = Protocol::kSsh;
  std::string host = "127.0.0.1";
  int port = 22;
  std::string user;
  std::string password;
  std::chrono::milliseconds timeout{10000};  // per answer, and per step of the login
  std::string timeoutText = "10";            // as given, for messages
  std::string knownHosts;                    // empty: the host key is shown, not checked
};

struct Options {
  Settings settings;
  std::vector<std::string> records;  // empty: the records come from standard input
  bool help = false;
};

struct ParseResult {
  std::optional<Options> options;
  std::string error;    // set when options is empty
  std::string warning;  // for standard error, even when the options are good
};

// Looks an environment variable up; nullptr when it is not set.
using EnvLookup = std::function<const char*(const char*)>;

// Where the password comes from: the first line of `file`, else the environment variable
// `variable` (VORLANE_PASSWORD when none is named).
struct PasswordSource {
  std::optional<std::string> file;
  std::optional<std::string> variable;
};
// Reads the password; a file that others may read sets `warning`. The error names the file or
// the variable, never the password.
Result<std::string> LoadPassword(const PasswordSource& source, const EnvLookup& env, std::string& warning);

// A TCP port, 1 to 65535.
std::optional<int> ParsePort(const std::string& text);
// Seconds, more than 0 and at most a day, rounded up to whole milliseconds.
std::optional<std::chrono::milliseconds> ParseTimeout(const std::string& text);

// Parses the arguments after the program name. Reads the password file or variable.
ParseResult ParseOptions(const std::vector<std::string>& args, const EnvLookup& env);

std::string UsageText();

}  // namespace vorlane::query
