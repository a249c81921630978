// The command line of vorlane-query: what to connect to, how to log in, and what to send.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

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
  std::string error;  // set when options is empty
};

// Looks an environment variable up; nullptr when it is not set.
using EnvLookup = std::function<const char*(const char*)>;

// Parses the arguments after the program name. Reads the password file or variable.
ParseResult ParseOptions(const std::vector<std::string>& args, const EnvLookup& env);

std::string UsageText();

}  // namespace vorlane::query
