#!/usr/bin/env bash
# Runs every fuzz target for SECONDS seconds (default 30) on its seed corpus
# and prints the executions each made. Usage: run.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=$1
seconds=${2:-30}
here=$(cd "$(dirname "$0")" && pwd)
status=0
for target in lockfile paths desktop_entry format; do
  work=$(mktemp -d)
  cp -r "$here/corpus/$target/." "$work/"
  log="$build/tests/fuzz/$target.log"
  if "$build/tests/fuzz/${target}_fuzz" -max_total_time="$seconds" -max_len=4096 \
      -print_final_stats=1 "$work" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz $target: ${runs:-?} executions in ${seconds} s, no failure"
  else
    echo "fuzz $target: FAILED (see $log)"
    tail -30 "$log"
    status=1
  fi
  rm -rf "$work"
done
exit $status
