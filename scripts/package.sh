#!/usr/bin/env bash
# Builds the Debian packages vorlane and vorlane-config with dpkg-buildpackage into build-deb/
# and prints their paths:
#
#   scripts/package.sh [BUILD_TREE]
#
# With BUILD_TREE (a tree configured by scripts/build.sh), the packages are installed from that
# tree, which then builds only what changed; without it, debhelper builds the project afresh.
# The version is the project's CMake version; debian/changelog must name the same one.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/build-deb"
version="$(sed -n 's/^project(Vorlane VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
logged="$(cd "$root" && dpkg-parsechangelog -S Version)"
if [ "$version" != "$logged" ]; then
  echo "package.sh: CMakeLists.txt says version $version, debian/changelog says $logged" >&2
  exit 1
fi
tree=()
[ $# -ge 1 ] && tree=("VORLANE_BUILD_TREE=$(cd "$1" && pwd)")
cd "$root"
env "${tree[@]}" CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}" dpkg-buildpackage -b -us -uc --no-sign >&2
mkdir -p "$out"
arch="$(dpkg --print-architecture)"
for package in vorlane vorlane-config; do
  mv -f "$root/../${package}_${version}_${arch}.deb" "$out/"
  echo "$out/${package}_${version}_${arch}.deb"
done
rm -f "$root/../vorlane_${version}_${arch}.buildinfo" "$root/../vorlane_${version}_${arch}.changes"
