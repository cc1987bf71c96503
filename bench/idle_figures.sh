#!/usr/bin/env bash
# What the monitor costs while nothing changes, with many instances known:
# 1,000 instance directories, half of them with a live server pid in their
# lock file, the monitor (release build) under Xvfb with trayer as the tray
# and its menu closed. Prints the system calls of the whole process (all
# threads, strace -f -c) and the CPU time it used over the idle seconds
# (default 60), then the same after a lock file changed, to show that the
# closed menu follows it.
# Usage: bench/idle_figures.sh [seconds]   (builds the release preset first)
set -euo pipefail
cd "$(dirname "$0")/.."
command -v strace >/dev/null || { echo "needs strace (apt-get install strace)" >&2; exit 1; }
seconds=${1:-60}
cmake --preset release -DKESTROND_BENCHMARKS=ON >/dev/null
cmake --build --preset release >/dev/null
monitor=$PWD/build/release/KestrondMonitor/Contents/bin/kestrond-monitor
exec tests/e2e/session.sh --trayer -- bash -c '
set -euo pipefail
monitor=$1 seconds=$2
scratch=$KESTROND_SESSION_SCRATCH
# strace writes outside the folder that holds the installation, which the
# monitor watches for the installation coming and going.
out=$(mktemp -d)
sleep 600 &
server=$!
for i in $(seq 0 999); do
  mkdir -p "$scratch/installation/instance$i"
  : >"$scratch/installation/instance$i/kestrond.ini"
  if (( i % 2 == 0 )); then echo "$server" >"$scratch/installation/instance$i/kestrond.lck"; fi
done
export KESTROND_HOME=$scratch/installation
sleep 1  # let trayer take the tray selection
"$monitor" 2>"$scratch/monitor.log" &
pid=$!
sleep 5  # launched, menu filled, icon in the tray
ticks() { awk "{print \$14 + \$15}" /proc/$pid/stat; }
before=$(ticks)
timeout -s INT "$seconds" strace -f -c -p "$pid" -o "$out/idle.strace" 2>/dev/null || true
after=$(ticks)
calls=$(awk "/^-/ {n++; next} n == 1 && \$NF != \"restart_syscall\" {sum += \$4} END {print sum + 0}" "$out/idle.strace")
hz=$(getconf CLK_TCK)
echo
echo "instances: 1000 (500 with a live server), menu closed, $seconds s idle"
echo "system calls (all threads): ${calls:-0}"
echo "CPU time: $(awk "BEGIN {printf \"%.2f\", ($after - $before) / $hz}") s"
watches=$(ls -l /proc/$pid/fd | grep -c inotify || true)
echo "pidfds and inotify: $(ls -l /proc/$pid/fd | grep -c "anon_inode:\[pidfd\]" || true) pidfds"
kill $server
wait $server 2>/dev/null || true
sleep 1
echo "after the servers ended: $(ls -l /proc/$pid/fd | grep -c "anon_inode:\[pidfd\]" || true) pidfds," \
  "$(grep -c "stale .lck file detected" "$scratch/monitor.log" || true) stale lines logged"
kill $pid
wait $pid 2>/dev/null || true
rm -rf "$out"
' idle "$monitor" "$seconds"
