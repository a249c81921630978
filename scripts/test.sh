#!/usr/bin/env bash
# Installs what is needed, builds, packages the normal build, and runs the whole suite twice:
# once built with AddressSanitizer and UndefinedBehaviorSanitizer, then the normal build, whose
# summary ends the output. Between the two, every fuzz target runs for VORLANE_FUZZ_SECONDS (20) on its
# corpus; a finding fails the run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh" --fuzz

jobs="$(nproc)"
"$root/scripts/build.sh" "$root/build-asan" -DVORLANE_SANITIZE=ON -DVORLANE_BUILD_BENCH=OFF
"$root/scripts/build.sh" "$root/build"
# The Debian packages from the normal tree, for the test that runs the unpacked agent.
rm -rf "$root/build-deb"
"$root/scripts/package.sh" "$root/build"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
echo "== tests, sanitizer build"
(cd "$root/build-asan" && ctest --output-on-failure -j"$jobs")
echo "== fuzz targets"
"$root/scripts/fuzz.sh" all "${VORLANE_FUZZ_SECONDS:-20}"
echo "== tests"
(cd "$root/build" && ctest --output-on-failure -j"$jobs")
