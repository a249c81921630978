#!/usr/bin/env bash
# Installs what is needed, builds, and shows what was built. (The agent program joins this
# script as soon as it exists: it will then run in the foreground on a configuration of its own.)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build"
echo "Built in $root/build:"
find "$root/build" -maxdepth 3 -type f \( -name '*.a' -o -name '*.so' -o -perm -u+x \) \
  ! -path '*/CMakeFiles/*' -printf '  %P\n' | sort
