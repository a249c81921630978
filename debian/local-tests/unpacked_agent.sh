#!/bin/bash
# unpacked_agent.sh DEB_FOLDER: the agent package as built, unpacked into a temporary root and
# run from there with its own configuration and a user added by its own vorlane-passwd: a Telnet
# login and agentinfo through its vorlane-query, and a ping check through the unpacked
# components, judged by its check_vorlane. Exits 77 (skipped) when no package has been built.
set -u
deb=$(ls "$1"/vorlane_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { echo "no package in $1 (scripts/package.sh builds them)"; exit 77; }
work=$(mktemp -d /tmp/vorlane-unpacked.XXXXXX)
agent=
cleanup() {
  [ -n "$agent" ] && kill "$agent" 2>/dev/null && wait "$agent" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; [ -f "$work/agent.log" ] && tail -n 20 "$work/agent.log"; exit 1; }

dpkg-deb -x "$deb" "$work/root" || fail "dpkg-deb -x $deb"
root=$work/root
lib=$(ls -d "$root"/usr/lib/*/vorlane)
etc=$root/etc/vorlane
[ "$(stat -c %a "$etc/AgentConfig.INI")" = 600 ] || fail "AgentConfig.INI is not 0600"
grep -q '^\[Operators\]' "$etc/AgentConfig.INI" && fail "the shipped configuration holds a user"
[ -s "$etc/TCPConfig.INI" ] || fail "no protocol table"
grep -q "ExecReload=" "$root/lib/systemd/system/vorlane.service" || fail "the unit has no reload"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
stored=$(printf 'unpacked-pw\n' | "$root/usr/bin/vorlane-passwd") || fail "vorlane-passwd"
sed -i "s/^Protocol=.*/Protocol=Telnet/; s/^Port=.*/Port=$port/; s/^BindIP=.*/BindIP=127.0.0.1/" "$etc/AgentConfig.INI"
printf '\n[Operators]\nUserName=monitor\nPassword=%s\nRange=\n' "$stored" >> "$etc/AgentConfig.INI"
mkdir -p "$work/state"
env -u INVOCATION_ID -u NOTIFY_SOCKET -u VORLANE_CLASS_REGISTRY VORLANE_CONFIG_DIR="$etc" \
  VORLANE_CLASS_REGISTRY="$lib/vorlane-classes.ini" STATE_DIRECTORY="$work/state" \
  "$root/usr/sbin/vorlane" /console > "$work/agent.log" 2>&1 &
agent=$!
for _ in $(seq 100); do
  grep -q "Server started!" "$work/agent.log" && break
  kill -0 "$agent" 2>/dev/null || fail "the unpacked agent ended"
  sleep 0.1
done
grep -q "Server started!" "$work/agent.log" || fail "the unpacked agent did not start"

export VORLANE_PASSWORD=unpacked-pw
answers=$(timeout 20 "$root/usr/bin/vorlane-query" --telnet --port "$port" --user monitor --timeout 10 \
  '#keycount=2#requestaction=agentinfo#sessionid={session}#' 2>&1) || fail "vorlane-query: $answers"
echo "$answers" | grep -q '^#keycount=3#responseaction=login#sessionid=' || fail "no login: $answers"
echo "$answers" | grep -q '#responseaction=ageninfo#agentversion=' || fail "no agentinfo: $answers"
line=$(timeout 20 "$root/usr/lib/nagios/plugins/check_vorlane" -H 127.0.0.1 --telnet -p "$port" -u monitor \
  PING 'Hostname=127.0.0.1' 'Timeout (sec.)=2')
status=$?
[ "$status" -eq 0 ] || fail "ping check: exit $status: $line"
echo "$line" | grep -q '^VORLANE PING OK - .*|time=' || fail "ping check: $line"
# The components the agent loaded are the unpacked ones.
grep -q "$lib/libvorlane_termserver.so" "/proc/$agent/maps" || fail "the agent did not load $lib/libvorlane_termserver.so"
echo "unpacked agent: login, agentinfo and a ping through $lib"
