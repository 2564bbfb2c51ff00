#!/bin/sh
# Runs each fuzz target for SECONDS over its corpus and prints its executions per second.
# usage: fuzz/run.sh BUILD_DIR SECONDS keep|scratch TARGET...
#   keep:    new inputs land in fuzz/corpus/<target>, which is then minimised in place
#   scratch: the committed corpus is only read; findings go to a temporary directory
set -eu
build=$1 seconds=$2 mode=$3
shift 3
root=$(cd "$(dirname "$0")" && pwd)
status=0
for target in "$@"; do
  corpus=$root/corpus/$target
  mkdir -p "$corpus"
  scratch=$(mktemp -d)
  log=$scratch/log
  if [ "$mode" = keep ]; then dirs="$corpus"; else dirs="$scratch $corpus"; fi
  # -rss_limit_mb: the region target carries an interpreter; -timeout: one input, not the run.
  if "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
       -artifact_prefix="$scratch/" $dirs >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    elapsed=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log")
    echo "fuzz $target: $runs inputs in ${elapsed}s, $(( runs / (elapsed > 0 ? elapsed : 1) )) exec/s, no finding"
  else
    status=1
    tail -n 60 "$log"
    for crash in "$scratch"/crash-* "$scratch"/leak-* "$scratch"/timeout-* "$scratch"/oom-*; do
      [ -e "$crash" ] || continue
      mkdir -p "$build/findings" && cp "$crash" "$build/findings/$target-$(basename "$crash")"
      echo "fuzz $target: FINDING kept as $build/findings/$target-$(basename "$crash")"
    done
  fi
  if [ "$mode" = keep ] && [ $status = 0 ]; then
    # Keep the committed corpus small: only inputs that add coverage stay.
    mkdir -p "$scratch/min"
    if "$build/$target" -merge=1 "$scratch/min" "$corpus" >"$scratch/merge.log" 2>&1 && [ -n "$(ls "$scratch/min")" ]; then
      rm -f "$corpus"/* && cp "$scratch/min"/* "$corpus"/
    fi
    echo "fuzz $target: corpus $(ls "$corpus" | wc -l) inputs"
  fi
  rm -rf "$scratch"
done
exit $status
