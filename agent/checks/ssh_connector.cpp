#include "agent/checks/ssh_connector.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <utility>

#include "agent/log/agent_log.h"
#include "agent/request/answer.h"
#include "platform/base/config_dir.h"
#include "platform/process/process_table.h"
#include "platform/remote/remote_endpoint.h"
#include "platform/remote/shell_quote.h"

namespace vorlane::agent {

// Every loaded service unit with its states, one per line: "<unit> <load> <active> <sub> <text>".
const std::string_view kRemoteServicesScript =
    "LC_ALL=C exec systemctl list-units --type=service --all --full --plain --no-legend --no-pager";

// For each process of /proc, NUL-ended fields: "p<pid>", "c<command name>", and where the kernel
// cut the command name, "a<argv[0]>" and "e<exe link>". Exit status 3 when there is no /proc.
// Only shell builtins run per process, except for the few cut names, so that a host with many
// processes answers well within the command's time bound.
const std::string_view kRemoteProcessesScript =
    "[ -r /proc/self/comm ] && cd /proc 2>/dev/null || exit 3\n"
    "LC_ALL=C; export LC_ALL\n"
    "for p in [0-9]*; do\n"
    "  IFS= read -r c 2>/dev/null <\"$p/comm\" || continue\n"
    "  printf 'p%s\\000c%s\\000' \"$p\" \"$c\"\n"
    "  if [ ${#c} -eq 15 ]; then\n"
    "    printf a; head -z -n 1 \"$p/cmdline\" 2>/dev/null | tr -d '\\000'; printf '\\000'\n"
    "    printf e; readlink \"$p/exe\" 2>/dev/null; printf '\\000'\n"
    "  fi\n"
    "done\n"
    "exit 0\n";

// "<fundamental block size> <blocks> <free blocks>" of the volume of the path in $1.
const std::string_view kRemoteVolumeScript = "LC_ALL=C exec stat -f -c '%S %b %f' -- \"$1\"";

namespace {

constexpr std::string_view kConnectFailedLog = "Could not connect to %s: %s";
constexpr std::string_view kQueryFailedLog = "A query on the remote host failed: %s";
constexpr std::string_view kKnownHostsFile = "remote_known_hosts";
constexpr int kNoProcExitStatus = 3;

// The host part of a remote name: the two backslashes that ConnectRemoteHost puts in front
// mean nothing to SSH.
std::string_view HostOfRemoteName(std::string_view remoteName) {
  if (remoteName.starts_with("\\\\")) remoteName.remove_prefix(2);
  return remoteName;
}

uint32_t NetResultOf(const Error& error) {
  switch (static_cast<platform::SshConnectFailure>(error.code)) {
    case platform::SshConnectFailure::kCredentialsRefused:
      return kNetLogonFailure;
    case platform::SshConnectFailure::kHostKeyChanged:
      return kNetHostKeyChanged;
    case platform::SshConnectFailure::kKnownHostsUnwritable:
      return kNetKnownHostsUnwritable;
    case platform::SshConnectFailure::kUnreachable:
    default:
      return kNetBadNetPath;
  }
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t at = 0;
  while (at < line.size()) {
    const size_t start = line.find_first_not_of(" \t", at);
    if (start == std::string_view::npos) break;
    const size_t end = std::min(line.find_first_of(" \t", start), line.size());
    words.push_back(line.substr(start, end - start));
    at = end;
  }
  return words;
}

template <class T>
bool ParseNumber(std::string_view text, T& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::string_view WithoutLineEnd(std::string_view text) {
  if (text.ends_with('\n')) text.remove_suffix(1);
  return text;
}

struct RemoteProcess {
  uint64_t pid = 0;
  std::string_view comm;
  std::string_view argv0;
  std::string_view exe;
};

}  // namespace

std::string RemoteCommand(std::string_view script, const std::vector<std::string>& arguments) {
  // The script runs under sh whatever the account's login shell is; $0 is "sh".
  std::string command = "sh -c " + platform::QuoteForShell(script) + " sh";
  for (const std::string& argument : arguments) command += " " + platform::QuoteForShell(argument);
  return command;
}

std::optional<std::vector<platform::ServiceStatus>> ParseServiceUnits(std::string_view output) {
  std::vector<platform::ServiceStatus> services;
  size_t at = 0;
  while (at < output.size()) {
    const size_t end = std::min(output.find('\n', at), output.size());
    std::vector<std::string_view> words = Words(output.substr(at, end - at));
    at = end + 1;
    if (words.empty()) continue;
    // systemctl marks failed or not-found units with a bullet before the name.
    if (words[0] == "\xE2\x97\x8F" || words[0] == "*") words.erase(words.begin());
    if (words.size() < 4) return std::nullopt;
    std::string_view key;
    if (!platform::ServiceKeyName(words[0], key)) continue;
    services.push_back(platform::ServiceStatus{std::string(key), std::string(words[2]), std::string(words[3])});
  }
  return services;
}

bool VisitRemoteProcesses(std::string_view output, const std::function<void(std::string_view name)>& visit) {
  std::vector<RemoteProcess> processes;
  size_t at = 0;
  while (at < output.size()) {
    const size_t end = output.find('\0', at);
    if (end == std::string_view::npos) return false;
    const std::string_view field = output.substr(at, end - at);
    at = end + 1;
    if (field.empty()) return false;
    const std::string_view value = field.substr(1);
    if (field[0] == 'p') {
      RemoteProcess process;
      if (!ParseNumber(value, process.pid)) return false;
      processes.push_back(process);
      continue;
    }
    if (processes.empty()) return false;
    RemoteProcess& process = processes.back();
    switch (field[0]) {
      case 'c':
        process.comm = WithoutLineEnd(value);
        break;
      case 'a':
        process.argv0 = value;
        break;
      case 'e':
        process.exe = WithoutLineEnd(value);
        break;
      default:
        return false;
    }
  }
  std::stable_sort(processes.begin(), processes.end(),
                   [](const RemoteProcess& a, const RemoteProcess& b) { return a.pid < b.pid; });
  for (const RemoteProcess& process : processes) {
    // A process that ended while it was read has no command name; it is skipped.
    if (process.comm.empty()) continue;
    visit(platform::InstanceNameOf(process.comm, process.argv0, process.exe));
  }
  visit(platform::kTotalInstance);
  return true;
}

std::optional<VolumeSpace> ParseVolumeSpace(std::string_view output) {
  const std::vector<std::string_view> words = Words(WithoutLineEnd(output));
  uint64_t blockSize = 0;
  uint64_t blocks = 0;
  uint64_t freeBlocks = 0;
  if (words.size() != 3 || !ParseNumber(words[0], blockSize) || !ParseNumber(words[1], blocks) ||
      !ParseNumber(words[2], freeBlocks)) {
    return std::nullopt;
  }
  return VolumeSpace{blocks * blockSize, freeBlocks * blockSize};
}

SshCheckHost::SshCheckHost(std::unique_ptr<platform::SshClientConnection> connection)
    : connection_(std::move(connection)) {}

Result<std::vector<platform::ServiceStatus>> SshCheckHost::LoadedServices() {
  Result<platform::SshCommandResult> run = connection_->Run(RemoteCommand(kRemoteServicesScript, {}));
  VORLANE_RETURN_IF_ERROR(run);
  if (run.value().exitStatus != 0) {
    return Error{EHOSTUNREACH, "systemctl on the remote host ended with status " +
                                   std::to_string(run.value().exitStatus)};
  }
  std::optional<std::vector<platform::ServiceStatus>> services = ParseServiceUnits(run.value().output);
  if (!services) return Error{EPROTO, "unreadable systemctl output from the remote host"};
  return *std::move(services);
}

Result<std::vector<platform::ServiceStatus>> SshCheckHost::ListActiveServices() {
  Result<std::vector<platform::ServiceStatus>> services = LoadedServices();
  if (!services) return services;
  std::erase_if(services.value(),
                [](const platform::ServiceStatus& service) { return !platform::IsActiveState(service.activeState); });
  return services;
}

Result<platform::ServiceStatus> SshCheckHost::QueryService(std::string_view name) {
  // The whole list is read and searched here rather than asking systemctl for the one name: the
  // key name matches without regard to case, which systemctl does not offer, and the request's
  // name never reaches the remote shell.
  const Result<std::vector<platform::ServiceStatus>> services = LoadedServices();
  VORLANE_RETURN_IF_ERROR(services);
  std::optional<platform::ServiceStatus> found = FindService(services.value(), name);
  if (!found) return Error{ENOENT, "no such service on the remote host"};
  return *std::move(found);
}

uint32_t SshCheckHost::ForEachProcessInstance(const std::function<void(std::string_view name)>& visit) {
  const Result<platform::SshCommandResult> run = connection_->Run(RemoteCommand(kRemoteProcessesScript, {}));
  if (!run) {
    Log(FormatAnswer(kQueryFailedLog, {run.error().message}), kLogError);
    return platform::kRpcCallFailed;
  }
  if (run.value().exitStatus != 0) {
    if (run.value().exitStatus != kNoProcExitStatus) {
      Log(FormatAnswer(kQueryFailedLog, {"the process table script ended with status " +
                                         std::to_string(run.value().exitStatus)}),
          kLogError);
    }
    return platform::kPdhNoObject;
  }
  if (!VisitRemoteProcesses(run.value().output, visit)) return platform::kPdhNoObject;
  return platform::kProcessStatusOk;
}

std::optional<VolumeSpace> SshCheckHost::QueryVolumeSpace(const std::string& path) {
  const Result<platform::SshCommandResult> run = connection_->Run(RemoteCommand(kRemoteVolumeScript, {path}));
  if (!run) {
    Log(FormatAnswer(kQueryFailedLog, {run.error().message}), kLogError);
    return std::nullopt;
  }
  if (run.value().exitStatus != 0) return std::nullopt;
  return ParseVolumeSpace(run.value().output);
}

SshRemoteConnector::SshRemoteConnector(platform::SshClientOptions options) : options_(std::move(options)) {}

uint32_t SshRemoteConnector::AddConnection(const std::string& remoteName, const std::optional<std::string>& user,
                                           const std::optional<std::string>& password) {
  // A connection this request already holds to the host goes on serving it.
  if (hosts_.contains(remoteName)) return kNetSessionCredentialConflict;
  const std::string_view host = HostOfRemoteName(remoteName);
  const std::optional<platform::RemoteEndpoint> endpoint = platform::ParseRemoteEndpoint(host);
  if (!endpoint) {
    Log(FormatAnswer(kConnectFailedLog, {host, "not a host name"}), kLogError);
    return kNetBadNetPath;
  }
  platform::SshLogin login;
  if (user) {
    login.user = *user;
    login.password = password.value_or("");
  }
  Result<std::unique_ptr<platform::SshClientConnection>> connection =
      platform::SshClientConnection::Connect(*endpoint, login, options_);
  if (!connection) {
    Log(FormatAnswer(kConnectFailedLog, {host, connection.error().message}), kLogError);
    return NetResultOf(connection.error());
  }
  hosts_.emplace(remoteName, std::make_unique<SshCheckHost>(std::move(connection).value()));
  return kNetSuccess;
}

void SshRemoteConnector::CancelConnection(const std::string& remoteName) { hosts_.erase(remoteName); }

CheckHost& SshRemoteConnector::ConnectedHost(const std::string& remoteName) {
  const auto found = hosts_.find(remoteName);
  if (found == hosts_.end()) return RemoteConnector::ConnectedHost(remoteName);
  return *found->second;
}

platform::SshClientOptions AgentSshClientOptions() {
  platform::SshClientOptions options;
  options.knownHostsFile = StateDirectory() / kKnownHostsFile;
  options.keyFolder = platform::DefaultSshKeyFolder();
  return options;
}

std::unique_ptr<RemoteConnector> NewRemoteConnector() {
  return std::make_unique<SshRemoteConnector>(AgentSshClientOptions());
}

}  // namespace vorlane::agent
