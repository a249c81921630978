#!/usr/bin/env bash
# Builds the libFuzzer targets in their own tree and runs one or all of them for a bounded time
# each on their seed corpus:
#
#   scripts/fuzz.sh [TARGET|all] [SECONDS]      (defaults: all, 20 seconds per target)
#
# The seeds under fuzz/corpus/<target>/ are copied into build-fuzz/corpus/<target>/, which the
# run grows; the repository's corpus is never written. A finding (crash, sanitizer report,
# broken property, leak, timeout) stops that target with its input saved under
# build-fuzz/findings/<target>/, and the script fails. Needs scripts/install-deps.sh --fuzz.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${VORLANE_FUZZ_BUILD:-$root/build-fuzz}"
which="${1:-all}"
seconds="${2:-20}"
targets=(fuzz_record fuzz_profile fuzz_cipher fuzz_telnet fuzz_exchange_text fuzz_line_splitter)

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
cmake --build "$dir" -j2 --target "${targets[@]}"

failed=()
for target in "${targets[@]}"; do
  corpus="$dir/corpus/$target"
  findings="$dir/findings/$target"
  mkdir -p "$corpus" "$findings"
  cp -n "$root/fuzz/corpus/$target/"* "$corpus/" 2>/dev/null || true
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix="$findings/")
  [ -f "$root/fuzz/dict/$target.dict" ] && options+=(-dict="$root/fuzz/dict/$target.dict")
  echo "fuzz.sh: $target for ${seconds}s"
  if ! "$dir/fuzz/$target" "${options[@]}" "$corpus" >"$dir/$target.log" 2>&1; then
    failed+=("$target")
    tail -n 40 "$dir/$target.log" >&2
  fi
  grep -E '^stat::(number_of_executed_units|new_units_added)' "$dir/$target.log" || true
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz.sh: findings in ${failed[*]} (inputs under $dir/findings/)" >&2
  exit 1
fi
echo "fuzz.sh: no findings in ${targets[*]}"
