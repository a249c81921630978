// The plugin's command line, in the style of monitoring plugins: short options with their long
// forms, then the check id and its NAME=VALUE parameters.
#include <array>

#include "tools/check_vorlane/plugin.h"

namespace vorlane::plugin {
namespace {

constexpr int kMaxTimeoutSeconds = 3600;

// Long names of the options that take a value, by their short letter where they have one.
struct ValueOption {
  std::string_view shortName;  // empty: long form only
  std::string_view longName;
};
constexpr std::array<ValueOption, 9> kValueOptions = {{
      {"-H", "--hostname"}, {"-p", "--port"},     {"-u", "--user"},      {"-t", "--timeout"},
      {"-w", "--warning"},  {"-c", "--critical"}, {"", "--password-file"}, {"", "--password-env"},
      {"", "--known-hosts"}}};

std::optional<std::string> LongName(const std::string& option) {
  for (const ValueOption& known : kValueOptions) {
    if (option == known.longName || (!known.shortName.empty() && option == known.shortName)) {
      return std::string(known.longName);
    }
  }
  if (option == "--host") return std::string("--hostname");
  return std::nullopt;
}

}  // namespace

std::string PluginUsage() {
  return "Usage: check_vorlane -H HOST [-p PORT] [--ssh|--telnet] -u USER\n"
         "         [--password-file FILE | --password-env VAR] [--known-hosts FILE]\n"
         "         [-t SECONDS] [-w RANGE] [-c RANGE] CHECKID [NAME=VALUE ...]\n"
         "       check_vorlane -H HOST ... --list [CHECKID]\n";
}

std::string PluginVersion() { return std::string("check_vorlane ") + VORLANE_PLUGIN_VERSION + "\n"; }

std::string PluginHelp() {
  return PluginVersion() +
         "Runs one check of a Vorlane agent and reports it as a monitoring plugin: one status line\n"
         "with performance data, exit 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.\n\n" +
         PluginUsage() +
         "\nOptions:\n"
         " -H, --hostname HOST     the agent's host\n"
         " -p, --port PORT         its port (default 22 over SSH, 23 over Telnet)\n"
         " --ssh, --telnet         how to log in (default SSH)\n"
         " -u, --user USER         the agent's user\n"
         " --password-file FILE    the password is the first line of FILE (keep it 0600)\n"
         " --password-env VAR      the password is the value of VAR (default VORLANE_PASSWORD)\n"
         " --known-hosts FILE      check the agent's SSH host key against FILE\n"
         " -t, --timeout SECONDS   bound on the whole exchange (default 10); UNKNOWN when it runs out\n"
         " -w, --warning RANGE     WARNING when the response time (seconds) of an up check is outside\n"
         " -c, --critical RANGE    CRITICAL when it is outside RANGE\n"
         "                         RANGE: 10 (0..10), 10: (10 and more), ~:10, 10:20, @10:20 (inside)\n"
         " --list [CHECKID]        print the agent's checks, or the parameters of CHECKID\n"
         " -h, --help              this text\n"
         " -V, --version           the version\n"
         "\nCHECKID is the id the agent lists (DC, NTPC, PING, TCP, URL, ...). Each NAME=VALUE is a\n"
         "parameter as the check's definition names it, blanks included: 'Drive letter=/'.\n"
         "A parameter whose name begins with '*' is a secret: give it in plain text; it is sent\n"
         "base64-encoded. Up is OK, down CRITICAL; an error answer, a refused login, a connection\n"
         "that fails and a timeout are UNKNOWN.\n"
         "\nExample:\n"
         "  check_vorlane -H db1 --telnet -u monitor --password-file /etc/vorlane/db1.pw \\\n"
         "      -w 1 -c 5 TCP 'Protocol=SMTP:25' 'Port=25' 'Hostname=localhost' 'Timeout (sec.)=10'\n";
}

PluginParse ParsePluginOptions(const std::vector<std::string>& args, const query::EnvLookup& env) {
  PluginOptions options;
  query::Settings& settings = options.settings;
  settings.host.clear();
  std::optional<int> port;
  query::PasswordSource password;
  bool protocolGiven = false;
  std::vector<std::string> positional;
  auto fail = [](std::string message) { return PluginParse{std::nullopt, std::move(message), {}}; };

  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (arg == "--") {
      positional.insert(positional.end(), args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') {
      positional.push_back(arg);
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      options.help = true;
      return PluginParse{std::move(options), {}, {}};
    }
    if (arg == "-V" || arg == "--version") {
      options.version = true;
      return PluginParse{std::move(options), {}, {}};
    }
    if (arg == "--ssh" || arg == "--telnet") {
      const auto protocol = arg == "--ssh" ? query::Protocol::kSsh : query::Protocol::kTelnet;
      if (protocolGiven && settings.protocol != protocol) return fail("--ssh and --telnet exclude each other");
      settings.protocol = protocol;
      protocolGiven = true;
      continue;
    }
    if (arg == "--list") {
      options.list = true;
      continue;
    }
    if (arg == "--password" || arg == "-P") {
      return fail("a password is never taken on the command line (others can see it); "
                  "use --password-file or --password-env");
    }
    // "--name=value", "-Xvalue", or the value as the next argument.
    std::optional<std::string> inlineValue;
    if (arg.rfind("--", 0) == 0) {
      if (const size_t equals = arg.find('='); equals != std::string::npos) {
        inlineValue = arg.substr(equals + 1);
        arg.resize(equals);
      }
    } else if (arg.size() > 2) {
      inlineValue = arg.substr(2);
      arg.resize(2);
    }
    const std::optional<std::string> name = LongName(arg);
    if (!name) return fail("unknown option " + arg);
    if (!inlineValue && i + 1 >= args.size()) return fail(arg + " needs a value");
    const std::string value = inlineValue ? *inlineValue : args[++i];
    if (*name == "--hostname") {
      settings.host = value;
    } else if (*name == "--port") {
      port = query::ParsePort(value);
      if (!port) return fail("bad port " + value);
    } else if (*name == "--user") {
      settings.user = value;
    } else if (*name == "--timeout") {
      if (value.empty() || value.size() > 4 || value.find_first_not_of("0123456789") != std::string::npos ||
          std::stoi(value) < 1 || std::stoi(value) > kMaxTimeoutSeconds) {
        return fail("bad timeout " + value + " (whole seconds, 1 to " + std::to_string(kMaxTimeoutSeconds) + ")");
      }
      options.timeoutSeconds = std::stoi(value);
    } else if (*name == "--warning" || *name == "--critical") {
      std::optional<Range> range = ParseRange(value);
      if (!range) return fail("bad range " + value + " for " + *name + " (10, 10:, ~:10, 10:20 or @10:20)");
      (*name == "--warning" ? options.warning : options.critical) = std::move(range);
    } else if (*name == "--password-file") {
      password.file = value;
    } else if (*name == "--password-env") {
      if (value.empty()) return fail("--password-env needs a variable name");
      password.variable = value;
    } else {
      settings.knownHosts = value;
    }
  }

  if (settings.host.empty()) return fail("no host: use -H HOST");
  if (settings.user.empty()) return fail("no user: use -u USER");
  if (!positional.empty()) {
    options.checkId = positional.front();
    for (size_t i = 1; i < positional.size(); ++i) {
      const size_t equals = positional[i].find('=');
      if (equals == std::string::npos || equals == 0) return fail("a parameter is NAME=VALUE, not " + positional[i]);
      options.parameters.push_back({positional[i].substr(0, equals), positional[i].substr(equals + 1)});
    }
  }
  if (options.checkId.empty() && !options.list) return fail("no check id (see --list for the agent's checks)");
  if (options.list && !options.parameters.empty()) return fail("--list takes at most a check id");
  if (!settings.knownHosts.empty() && settings.protocol != query::Protocol::kSsh) {
    return fail("--known-hosts is for --ssh only");
  }
  std::string warning;
  Result<std::string> loaded = query::LoadPassword(password, env, warning);
  if (!loaded) return fail(loaded.error().message);
  settings.password = std::move(loaded).value();
  settings.port = port.value_or(settings.protocol == query::Protocol::kSsh ? 22 : 23);
  settings.timeout = std::chrono::seconds(options.timeoutSeconds);
  settings.timeoutText = std::to_string(options.timeoutSeconds);
  return PluginParse{std::move(options), {}, std::move(warning)};
}

}  // namespace vorlane::plugin
