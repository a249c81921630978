#!/usr/bin/env bash
# Builds the libFuzzer targets in their own tree and runs one or all of them for a bounded time
# each on their corpus, through CTest:
#
#   scripts/fuzz.sh [TARGET|all] [SECONDS]      (defaults: all, 20 seconds per target)
#
# The targets are the fuzz/fuzz_*.cpp programs. Each grows build-fuzz/corpus/<target>/ from the
# seeds under fuzz/corpus/<target>/, which are never written. A finding (crash, sanitizer report,
# broken property, leak, timeout) stops that target with its input saved under
# build-fuzz/findings/<target>/, and the script fails. Two targets run at a time.
# Needs scripts/install-deps.sh --fuzz.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${VORLANE_FUZZ_BUILD:-$root/build-fuzz}"
which="${1:-all}"
seconds="${2:-20}"
case "$seconds" in ''|*[!0-9]*) echo "fuzz.sh: SECONDS must be a whole number" >&2; exit 2 ;; esac

targets=()
for source in "$root"/fuzz/fuzz_*.cpp; do targets+=("$(basename "$source" .cpp)"); done
if [ "$which" != all ]; then
  case " ${targets[*]} " in
    *" $which "*) targets=("$which") ;;
    *) echo "fuzz.sh: unknown target '$which' (one of: ${targets[*]})" >&2; exit 2 ;;
  esac
fi
command -v clang++ >/dev/null || { echo "fuzz.sh: clang++ missing; run scripts/install-deps.sh --fuzz" >&2; exit 1; }

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORLANE_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "${launcher[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]}"

pattern="^($(IFS='|'; echo "${targets[*]}"))\$"
cd "$dir"
VORLANE_FUZZ_SECONDS="$seconds" ctest -R "$pattern" -j2 --timeout $((seconds + 300)) --output-on-failure
