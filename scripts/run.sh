#!/usr/bin/env bash
# Installs what is needed, builds, and runs the agent in the foreground on a configuration of
# its own in .run/ (created once: SSH on 127.0.0.1:2222 and one user with a random password).
# Ctrl-C stops it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build"

run="$root/.run"
if [ ! -f "$run/AgentConfig.INI" ]; then
  mkdir -p "$run"
  chmod 700 "$run"
  password="$(head -c 64 /dev/urandom | base64 | tr -dc 'A-Za-z0-9' | head -c 12)"
  stored="$(printf '%s\n' "$password" | "$root/build/tools/vorlane-passwd/vorlane-passwd")"
  cat > "$run/AgentConfig.INI" <<INI
[GeneralInfo]
Protocol=SSH
Port=2222
BindIP=127.0.0.1

[Operators]
UserName=monitor
Password=$stored
Range=
INI
  printf '%s\n' "$password" > "$run/password"
  chmod 600 "$run/password" "$run/AgentConfig.INI"
fi

# The shipped protocol table of the TCP check (edit the copy to taste).
[ -f "$run/TCPConfig.INI" ] || cp "$root/agent/checks/TCPConfig.INI" "$run/TCPConfig.INI"

cat <<EOT
Vorlane agent on 127.0.0.1:2222 (SSH), user "monitor", password "$(cat "$run/password")".
Try, from another terminal:
  VORLANE_PASSWORD="\$(cat $run/password)" $root/build/tools/vorlane-query/vorlane-query --ssh --port 2222 --user monitor '#keycount=2#requestaction=agentinfo#sessionid={session}#'
Stop the agent with Ctrl-C.
EOT
export VORLANE_CONFIG_DIR="$run"
exec "$root/build/agent/vorlane" /console
