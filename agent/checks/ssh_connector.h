// The connection to another host over SSH, and that host's data read through it: its services
// from systemd (systemctl), its processes from its /proc, the free space of a path (stat -f).
// Every query runs as one command in an exec channel; names from a request reach it only as
// single shell-quoted arguments. The output is read back into the same records the local host
// gives, so that the checks answer alike on either.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agent/checks/check_host.h"
#include "agent/checks/remote_host.h"
#include "platform/remote/ssh_client.h"

namespace vorlane::agent {

// The commands, each run by the remote account's shell through `sh -c`; exposed for tests.
extern const std::string_view kRemoteServicesScript;
extern const std::string_view kRemoteProcessesScript;
extern const std::string_view kRemoteVolumeScript;

// The exec command line for `script` with its arguments, each quoted as one word.
std::string RemoteCommand(std::string_view script, const std::vector<std::string>& arguments);

// The loaded service units of `systemctl list-units --all --plain --no-legend` output, in its
// order; nothing when a line cannot be read.
std::optional<std::vector<platform::ServiceStatus>> ParseServiceUnits(std::string_view output);

// Visits the instance names of the remote process script's output (processes by ascending id,
// then "_Total"); false, with no visit, when the output is malformed.
bool VisitRemoteProcesses(std::string_view output, const std::function<void(std::string_view name)>& visit);

// The volume of `stat -f -c '%S %b %f'` output (fundamental block size, blocks, free blocks).
std::optional<VolumeSpace> ParseVolumeSpace(std::string_view output);

// The host behind one SSH connection.
class SshCheckHost : public CheckHost {
 public:
  explicit SshCheckHost(std::unique_ptr<platform::SshClientConnection> connection);

  Result<std::vector<platform::ServiceStatus>> ListActiveServices() override;
  Result<platform::ServiceStatus> QueryService(std::string_view name) override;
  uint32_t ForEachProcessInstance(const std::function<void(std::string_view name)>& visit) override;
  std::optional<VolumeSpace> QueryVolumeSpace(const std::string& path) override;

 private:
  Result<std::vector<platform::ServiceStatus>> LoadedServices();

  std::unique_ptr<platform::SshClientConnection> connection_;
};

// The connections of one request, by remote name. Going, it closes whatever is still open.
class SshRemoteConnector : public RemoteConnector {
 public:
  explicit SshRemoteConnector(platform::SshClientOptions options);

  uint32_t AddConnection(const std::string& remoteName, const std::optional<std::string>& user,
                         const std::optional<std::string>& password) override;
  void CancelConnection(const std::string& remoteName) override;
  CheckHost& ConnectedHost(const std::string& remoteName) override;

  size_t OpenConnections() const { return hosts_.size(); }

 private:
  platform::SshClientOptions options_;
  std::map<std::string, std::unique_ptr<SshCheckHost>> hosts_;
};

// The agent's client options: the known-hosts file "remote_known_hosts" in the configuration
// folder, the account's own key folder, and 10 seconds for every step.
platform::SshClientOptions AgentSshClientOptions();

}  // namespace vorlane::agent
