#!/usr/bin/env bash
# Runs one fuzz target for a bounded time on its corpus; CTest's command for each target.
#
#   run-target.sh BINARY NAME SOURCE_DIR WORK_DIR
#
# VORLANE_FUZZ_SECONDS sets the time (default 20). The run grows WORK_DIR/corpus/NAME, seeded
# from the repository's fuzz/corpus/NAME (read, never written); a finding (crash, sanitizer
# report, broken property, leak, timeout, memory over the limit) is saved under
# WORK_DIR/findings/NAME/ and fails the run with the end of the target's log.
set -euo pipefail
binary="$1" name="$2" source="$3" work="$4"
seconds="${VORLANE_FUZZ_SECONDS:-20}"
corpus="$work/corpus/$name"
findings="$work/findings/$name"
log="$work/$name.log"
mkdir -p "$corpus" "$findings"

options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
         -artifact_prefix="$findings/")
[ -f "$source/dict/$name.dict" ] && options+=(-dict="$source/dict/$name.dict")

echo "$name: ${seconds}s on $corpus and the seeds in $source/corpus/$name"
if ! "$binary" "${options[@]}" "$corpus" "$source/corpus/$name" >"$log" 2>&1; then
  tail -n 60 "$log"
  echo "$name: finding saved under $findings/ (full log $log)"
  exit 1
fi
grep -E '^stat::(number_of_executed_units|new_units_added)' "$log" || true
