#!/usr/bin/env bash
# Without a display the monitor must say so and exit with status 1: no abort,
# no core dump. Usage: no_display_test.sh MONITOR
set -uo pipefail
check() {  # $1: what, then the environment changes
  local what=$1
  shift
  local output status
  output=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$@" "$monitor" 2>&1)
  status=$?
  if [[ $status -ne 1 || -z $output ]]; then
    echo "$what: status $status, output: $output" >&2
    exit 1
  fi
}
monitor=$1
check "no display at all"
check "a display that is not there" DISPLAY=:999
echo "no display: 2 passed, 0 failed"
