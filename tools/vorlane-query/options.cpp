#include "tools/vorlane-query/options.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>

namespace vorlane::query {
namespace {

constexpr const char* kDefaultPasswordVariable = "VORLANE_PASSWORD";

}  // namespace

std::optional<int> ParsePort(const std::string& text) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const int port = std::stoi(text);
  if (port < 1 || port > 65535) return std::nullopt;
  return port;
}

std::optional<std::chrono::milliseconds> ParseTimeout(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) return std::nullopt;
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(seconds) || seconds <= 0 || seconds > 86400) {
    return std::nullopt;
  }
  return std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000)));
}

Result<std::string> LoadPassword(const PasswordSource& source, const EnvLookup& env, std::string& warning) {
  if (source.file && source.variable) return Error{EINVAL, "--password-file and --password-env exclude each other"};
  if (source.file) {
    std::ifstream in(*source.file);
    if (!in) return Error{ENOENT, "cannot read the password file " + *source.file};
    struct stat status {};
    if (::stat(source.file->c_str(), &status) == 0 && (status.st_mode & S_IROTH) != 0) {
      warning = "the password file " + *source.file + " is readable by others (chmod o-r " + *source.file + ")";
    }
    std::string password;
    std::getline(in, password);
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return password;
  }
  const std::string name = source.variable.value_or(kDefaultPasswordVariable);
  const char* text = env(name.c_str());
  if (text == nullptr) {
    return Error{ENOENT, "no password: use --password-file F, or set " + name +
                             (source.variable ? std::string() : " (or name another variable with --password-env)")};
  }
  return std::string(text);
}

std::string UsageText() {
  return "usage: vorlane-query [--ssh|--telnet] [--host H] [--port P] --user U\n"
         "                     [--password-file F | --password-env VAR] [--known-hosts FILE]\n"
         "                     [--timeout SECONDS] [RECORD...]\n"
         "Logs in to a Vorlane agent, prints its login answer, then sends each RECORD (or each\n"
         "non-empty line of standard input) and prints the answer. \"{session}\" in a record is\n"
         "replaced by the session id of the login answer. The password is the first line of F,\n"
         "or the value of VAR (default VORLANE_PASSWORD).\n"
         "Exit status: 0 all answered, 2 usage error, 3 an answer missing, 4 connection or login failed.\n";
}

ParseResult ParseOptions(const std::vector<std::string>& args, const EnvLookup& env) {
  Options options;
  Settings& settings = options.settings;
  std::optional<int> port;
  PasswordSource password;
  bool protocolGiven = false;
  auto fail = [](std::string message) { return ParseResult{std::nullopt, std::move(message), {}}; };

  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (arg == "--") {
      options.records.insert(options.records.end(), args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    }
    if (arg.rfind("--", 0) != 0) {
      options.records.push_back(arg);
      continue;
    }
    std::optional<std::string> inlineValue;
    if (const size_t equals = arg.find('='); equals != std::string::npos) {
      inlineValue = arg.substr(equals + 1);
      arg.resize(equals);
    }
    auto value = [&]() -> std::optional<std::string> {
      if (inlineValue) return inlineValue;
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    if (arg == "--help") {
      options.help = true;
      return ParseResult{std::move(options), {}, {}};
    }
    if (arg == "--ssh" || arg == "--telnet") {
      if (inlineValue) return fail(arg + " takes no value");
      const Protocol protocol = arg == "--ssh" ? Protocol::kSsh : Protocol::kTelnet;
      if (protocolGiven && settings.protocol != protocol) return fail("--ssh and --telnet exclude each other");
      settings.protocol = protocol;
      protocolGiven = true;
      continue;
    }
    if (arg == "--password") return fail("a password is never taken on the command line (others can see it); "
                                         "use --password-file or --password-env");
    const bool known = arg == "--host" || arg == "--port" || arg == "--user" || arg == "--password-file" ||
                       arg == "--password-env" || arg == "--timeout" || arg == "--known-hosts";
    if (!known) return fail("unknown option " + arg);
    std::optional<std::string> given = value();
    if (!given) return fail(arg + " needs a value");
    if (arg == "--host") {
      if (given->empty()) return fail("--host needs a value");
      settings.host = *given;
    } else if (arg == "--port") {
      port = ParsePort(*given);
      if (!port) return fail("bad port " + *given);
    } else if (arg == "--user") {
      settings.user = *given;
    } else if (arg == "--password-file") {
      password.file = *given;
    } else if (arg == "--password-env") {
      if (given->empty()) return fail("--password-env needs a variable name");
      password.variable = *given;
    } else if (arg == "--timeout") {
      auto timeout = ParseTimeout(*given);
      if (!timeout) return fail("bad timeout " + *given + " (seconds, more than 0)");
      settings.timeout = *timeout;
      settings.timeoutText = *given;
    } else {
      settings.knownHosts = *given;
    }
  }

  if (settings.user.empty()) return fail("no user name: use --user");
  std::string warning;
  Result<std::string> loaded = LoadPassword(password, env, warning);
  if (!loaded) return fail(loaded.error().message);
  settings.password = std::move(loaded).value();
  settings.port = port.value_or(settings.protocol == Protocol::kSsh ? 22 : 23);
  if (!settings.knownHosts.empty() && settings.protocol != Protocol::kSsh) {
    return fail("--known-hosts is for --ssh only");
  }
  return ParseResult{std::move(options), {}, std::move(warning)};
}

}  // namespace vorlane::query
