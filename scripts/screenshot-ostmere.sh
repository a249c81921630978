#!/usr/bin/env bash
# Shows the configuration dialog on a sample AgentConfig.INI on a virtual X server and writes a
# PNG of it, for review: scripts/screenshot-ostmere.sh [PNG] (default build/ostmere.png).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$(realpath -m "${1:-$root/build/ostmere.png}")"
"$root/scripts/install-deps.sh" --screenshot
"$root/scripts/build.sh" "$root/build"

sample="$(mktemp -d)"
trap 'rm -rf "$sample"' EXIT
ini="$sample/AgentConfig.INI"
ostmere="$root/build/configmanager/ostmere"
"$ostmere" --set-general "$ini" SSH 2222
printf 'sample-pass\n' | "$ostmere" --set-user "$ini" Operators monitor 192.168.100.1-192.168.100.25
printf 'night-pass\n' | "$ostmere" --set-user "$ini" "Night shift" owl 10.0.0.7

xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24" \
  env QT_QPA_PLATFORM=xcb "$root/build/configmanager/ostmere-snapshot" "$ini" "$out"
echo "screenshot: $out"
