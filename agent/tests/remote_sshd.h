// OpenSSH's sshd on a loopback port for the checks on another host: a host key and configuration
// of the test's own, and accounts of its own (a mount namespace where private passwd and shadow
// files stand in for the system's): root logs in with a key made here, the test user with it or a
// password. The user's PATH starts with a folder holding a stand-in `systemctl` that prints the
// units of a file the test writes as `systemctl list-units --all --plain --no-legend` prints
// them; while the file "no-systemd" exists in the folder, it fails as systemctl does on a host
// that was not booted with systemd.
#pragma once

#include <crypt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "agent/tests/agent_process.h"
#include "tcpclient/tests/proxy_servers.h"
#include "testing/poll_until.h"
#include "testing/temp_dir.h"

namespace vorlane::agent::testing {

inline constexpr char kRemoteUser[] = "vorlaneremote";
inline constexpr char kRemotePassword[] = "re#mote pw";
// A second account (with the same password) whose commands run where /proc is an empty folder,
// as on a host without a process table.
inline constexpr char kNoProcUser[] = "vorlanenoproc";

class RemoteSshd {
 public:
  // How the test user's password is asked for: as an SSH password, or by keyboard-interactive
  // prompts (through PAM, which reads the private shadow file too).
  enum class PasswordLogin { kPassword, kKeyboardInteractive };

  explicit RemoteSshd(PasswordLogin passwordLogin = PasswordLogin::kPassword) : port_(FreePort()) {
    const std::filesystem::path& root = dir_.Path();
    if (root.empty()) return;
    // The test user reaches its home, the stand-in systemctl and the units file below here.
    ::chmod(root.c_str(), 0755);
    for (const char* folder : {"home", "bin", "agent-home", "agent-home/.ssh"}) {
      std::filesystem::create_directories(root / folder);
      ::chmod((root / folder).c_str(), 0755);
    }
    const std::string folder = root.string();
    if (std::system(("ssh-keygen -q -t ed25519 -N '' -f '" + folder + "/host_key'").c_str()) != 0 ||
        std::system(("ssh-keygen -q -t ed25519 -N '' -f '" + folder + "/agent-home/.ssh/id_ed25519'").c_str()) != 0) {
      return;
    }
    std::filesystem::copy_file(root / "agent-home/.ssh/id_ed25519.pub", root / "authorized_keys");
    WriteUnits("");
    dir_.WriteFile("bin/systemctl",
                   "#!/bin/sh\n"
                   "if [ -e '" + folder + "/no-systemd' ]; then\n"
                   "  echo 'System has not been booted with systemd as init system (PID 1). Can'\\''t operate.' >&2\n"
                   "  exit 1\n"
                   "fi\n"
                   "echo \"$*\" >> '" + folder + "/systemctl-calls'\n"
                   "while read -r unit load active sub; do\n"
                   "  [ -n \"$unit\" ] && printf '%s %s %s %s %s\\n' \"$unit\" \"$load\" \"$active\" \"$sub\" \"Unit $unit\"\n"
                   "done < '" + folder + "/units'\n");
    ::chmod((root / "bin/systemctl").c_str(), 0755);
    dir_.WriteFile("bin/noproc-shell",
                   "#!/bin/sh\n"
                   "# Run by sshd as \"<shell> -c <command>\": the command runs in a mount namespace of its own\n"
                   "# with an empty folder over /proc.\n"
                   "exec unshare --mount --propagation private sh -c 'mount -t tmpfs none /proc && exec sh -c \"$1\"' "
                   "sh \"$2\"\n");
    ::chmod((root / "bin/noproc-shell").c_str(), 0755);
    ::mkdir("/run/sshd", 0755);
    dir_.WriteFile("sshd_config", "Port " + std::to_string(port_) + "\nListenAddress 127.0.0.1\nHostKey " + folder +
                                      "/host_key\nPidFile " + folder +
                                      "/sshd.pid\nStrictModes no\n" +
                                      (passwordLogin == PasswordLogin::kPassword
                                           ? "UsePAM no\nPasswordAuthentication yes\nKbdInteractiveAuthentication no\n"
                                           : "UsePAM yes\nPasswordAuthentication no\nKbdInteractiveAuthentication yes\n") +
                                      "PubkeyAuthentication yes\n"
                                      "AuthorizedKeysFile " + folder +
                                      "/authorized_keys\nPermitRootLogin yes\nUseDNS no\n"
                                      "PrintMotd no\nPrintLastLog no\nLogLevel VERBOSE\nMaxStartups 50\n"
                                      "SetEnv PATH=" + folder + "/bin:/usr/bin:/bin SHLVL=1\n"
                                      "Match User " + kNoProcUser + "\n  PubkeyAuthentication no\n");
    const std::string hash = PasswordHash(kRemotePassword);
    const auto passwd = dir_.WriteFile("passwd", "root:x:0:0:root:/root:/bin/sh\n"
                                                 "sshd:x:102:65534::/run/sshd:/usr/sbin/nologin\n"
                                                 "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n" +
                                                     std::string(kRemoteUser) + ":x:4343:4343::" + folder +
                                                     "/home:/bin/sh\n" + kNoProcUser + ":x:0:0::" + folder + "/home:" +
                                                     folder + "/bin/noproc-shell\n");
    const auto shadow = dir_.WriteFile("shadow", "root:*:19000:0:99999:7:::\nsshd:*:19000:0:99999:7:::\n"
                                                 "nobody:*:19000:0:99999:7:::\n" +
                                                     std::string(kRemoteUser) + ":" + hash + ":19000:0:99999:7:::\n" +
                                                     kNoProcUser + ":" + hash + ":19000:0:99999:7:::\n");
    process_ = std::make_unique<tcpclient::testing::ProxyProcess>(
        std::vector<std::string>{"/usr/sbin/sshd", "-D", "-e", "-f", folder + "/sshd_config"}, root / "sshd.log",
        tcpclient::testing::ProxyProcess::Accounts{passwd, shadow});
    ready_ = process_->WaitReady(static_cast<uint16_t>(port_));
  }

  bool Ready() const { return ready_; }
  int Port() const { return port_; }
  // The "Hostname" of a request for this server.
  std::string Hostname() const { return "127.0.0.1:" + std::to_string(port_); }
  const std::filesystem::path& Dir() const { return dir_.Path(); }
  // The agent account's home, with its key in .ssh.
  std::filesystem::path AgentHome() const { return dir_ / "agent-home"; }
  std::string Log() const { return process_ ? process_->Log() : std::string(); }

  // "name load active sub" lines, as the private bus's fake manager reads them.
  void WriteUnits(const std::string& units) const {
    dir_.WriteFile("units", units);
    ::chmod((dir_ / "units").c_str(), 0644);
  }
  void SetSystemdPresent(bool present) const {
    if (present) {
      std::filesystem::remove(dir_ / "no-systemd");
    } else {
      dir_.WriteFile("no-systemd", "");
    }
  }

  // The server's processes for connections: every child of the listening sshd. Each connection
  // has at least one, and each channel's command runs below it.
  int ConnectionProcesses() const {
    const pid_t listener = ListenerPid();
    if (listener <= 0) return -1;
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      const std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      const std::string stat = ReadFile(entry.path() / "stat");
      const size_t close = stat.rfind(')');
      if (close == std::string::npos) continue;
      // After the command name: " <state> <ppid> ...".
      int ppid = 0;
      char state = 0;
      if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == listener) ++count;
    }
    return count;
  }
  // Waits (bounded) until no connection is left on the server side.
  bool NoConnectionLeft() const { return testkit::PollUntil([&] { return ConnectionProcesses() == 0; }, 10s); }

 private:
  pid_t ListenerPid() const { return static_cast<pid_t>(std::atoi(ReadFile(dir_ / "sshd.pid").c_str())); }

  static std::string PasswordHash(const std::string& password) {
    crypt_data data{};
    const char* hash = ::crypt_r(password.c_str(), "$6$vorlaneremote$", &data);
    return hash != nullptr ? hash : "!";
  }

  testkit::TempDir dir_{"vorlane-remote-sshd"};
  int port_;
  std::unique_ptr<tcpclient::testing::ProxyProcess> process_;
  bool ready_ = false;
};

}  // namespace vorlane::agent::testing
