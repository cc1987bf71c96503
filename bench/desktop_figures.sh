#!/usr/bin/env bash
# The desktop figures of the monitor, against a minimal Qt tray program, both
# from the release build, under Xvfb with trayer as the tray:
#   - resident memory once the icon is in the tray,
#   - system calls over ten idle seconds with the menu closed (strace -c),
#   - time from the start of the process to the icon being in the tray
#     (median of five starts).
# Usage: bench/desktop_figures.sh   (builds the release preset first)
set -euo pipefail
cd "$(dirname "$0")/.."
command -v strace >/dev/null || { echo "needs strace (apt-get install strace)" >&2; exit 1; }
cmake --preset release -DKESTROND_BENCHMARKS=ON >/dev/null
cmake --build --preset release >/dev/null
monitor=$PWD/build/release/KestrondMonitor/Contents/bin/kestrond-monitor
minimal=$PWD/build/release/bench/minimal_tray
exec tests/e2e/session.sh --trayer -- bash -c '
set -euo pipefail
monitor=$1 minimal=$2
scratch=$KESTROND_SESSION_SCRATCH
mkdir -p "$scratch/installation/database"
: >"$scratch/installation/database/kestrond.ini"
export KESTROND_HOME=$scratch/installation
sleep 1  # let trayer take the tray selection

now_ms() { date +%s%3N; }
icon_of() {  # the embedded icon window of a process, if there is one
  local window
  for window in $(xdotool search --onlyvisible --pid "$1" 2>/dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$window")"
    if [[ $WIDTH -le 64 && $HEIGHT -le 64 ]]; then return 0; fi
  done
  return 1
}
start_and_wait() {  # prints "pid milliseconds-to-icon"
  local start pid
  start=$(now_ms)
  "$1" 2>/dev/null &
  pid=$!
  until icon_of "$pid"; do
    # A start that finds the last one still ending leaves it the session.
    kill -0 "$pid" 2>/dev/null || { echo "$1 ended before its icon showed" >&2; exit 1; }
    sleep 0.01
  done
  echo "$pid $(( $(now_ms) - start ))"
}
median() { sort -n | awk "{a[NR]=\$1} END {print a[int((NR+1)/2)]}"; }

for program in monitor minimal; do
  binary=${!program}
  times=()
  for run in 1 2 3 4 5; do
    read -r pid ms < <(start_and_wait "$binary")
    times+=("$ms")
    if [[ $run -lt 5 ]]; then
      # Not a child of this shell: its end is waited for by its pid.
      kill "$pid"
      while kill -0 "$pid" 2>/dev/null; do sleep 0.01; done
    fi
  done
  sleep 2
  rss=$(awk "/VmRSS/ {print \$2}" /proc/$pid/status)
  timeout -s INT 10 strace -f -c -p "$pid" -o "$scratch/$program.strace" 2>/dev/null || true
  calls=$(awk "/^-/ {n++; next} n == 1 && \$NF != \"restart_syscall\" {sum += \$4} END {print sum + 0}" "$scratch/$program.strace")
  kill "$pid"; wait "$pid" 2>/dev/null || true
  printf "%s %s %s %s\n" "$program" "$rss" "${calls:-0}" \
    "$(printf "%s\n" "${times[@]}" | median)" >>"$scratch/figures"
done
echo
printf "%-10s %14s %22s %18s\n" program "RSS (KiB)" "syscalls in 10 s idle" "start to tray (ms)"
while read -r program rss calls ms; do
  printf "%-10s %14s %22s %18s\n" "$program" "$rss" "$calls" "$ms"
done <"$scratch/figures"
read -r _ rss_monitor _ _ < <(sed -n 1p "$scratch/figures")
read -r _ rss_minimal _ _ < <(sed -n 2p "$scratch/figures")
echo
echo "monitor RSS / minimal RSS: $(awk "BEGIN {printf \"%.2f\", $rss_monitor / $rss_minimal}")"
' figures "$monitor" "$minimal"
