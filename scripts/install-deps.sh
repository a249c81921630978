#!/usr/bin/env bash
# Installs the Debian packages that building and testing Vorlane need. Packages already present
# are not asked for again, so a second run costs nothing.
#
#   scripts/install-deps.sh [--bench] [--screenshot] [--fuzz]
#
# --bench also installs the programs the agent load benchmark runs beside the agent;
# --screenshot the virtual X server that scripts/screenshot-ostmere.sh shows the dialog on;
# --fuzz the clang toolchain and libFuzzer that scripts/fuzz.sh builds the fuzz targets with.
set -euo pipefail

bench=0
screenshot=0
fuzz=0
for argument in "$@"; do
  case "$argument" in
    --bench) bench=1 ;;
    --screenshot) screenshot=1 ;;
    --fuzz) fuzz=1 ;;
    *) echo "usage: install-deps.sh [--bench] [--screenshot] [--fuzz]" >&2; exit 2 ;;
  esac
done

packages=(
  build-essential cmake pkg-config git ca-certificates ccache
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev libssh-dev libsystemd-dev openssl
  openssh-client openssh-server sshpass
  procps iproute2 tmux telnet
  fping
  dbus-daemon
  dante-server tinyproxy
  python3-aiosmtpd dovecot-imapd dovecot-pop3d vsftpd
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins
  libcurl4-openssl-dev
  nginx
  scdoc debhelper
  nagios4-core
)
# Peers of the benchmarks: zabbix_agentd beside the agent under load (sshd is a test peer
# already), monitoring-plugins' check_tcp beside the TCP check.
bench_packages=(zabbix-agent monitoring-plugins-basic)
[ "$bench" -eq 1 ] && packages+=("${bench_packages[@]}")
[ "$screenshot" -eq 1 ] && packages+=(xvfb xauth)
# libFuzzer's runtime for clang 14, the compiler Debian 12's clang package names.
[ "$fuzz" -eq 1 ] && packages+=(clang libfuzzer-14-dev)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: run as root or install sudo" >&2; exit 1; }
  as_root=(sudo)
fi
echo "install-deps: installing ${missing[*]}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
