#!/usr/bin/env bash
# Runs a command in a private headless desktop session and tears it down:
# Xvfb (with -noreset) on a free display, optionally a private D-Bus session
# bus, a fresh HOME and XDG_RUNTIME_DIR. Usage:
#   session.sh [--dbus] [--trayer] -- command [args...]
set -euo pipefail

with_dbus=0
with_trayer=0
while [[ $# -gt 0 ]]; do
  case "$1" in
    --dbus) with_dbus=1 ;;
    --trayer) with_trayer=1 ;;
    --) shift; break ;;
    *) echo "session.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

scratch=$(mktemp -d /tmp/kestrond-session-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

Xvfb -noreset -nolisten tcp -screen 0 1024x768x24 -displayfd 9 9>"$scratch/display" \
  >"$scratch/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ -s "$scratch/display" ]] && break; sleep 0.1; done
[[ -s "$scratch/display" ]] || { echo "Xvfb did not start" >&2; cat "$scratch/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(head -1 "$scratch/display")"

export HOME="$scratch/home"
export XDG_RUNTIME_DIR="$scratch/runtime"
export XDG_CONFIG_HOME="$HOME/.config"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY SESSION_MANAGER

if ((with_dbus)); then
  dbus-daemon --session --nofork --nopidfile --print-address=3 3>"$scratch/bus" \
    >"$scratch/dbus.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [[ -s "$scratch/bus" ]] && break; sleep 0.1; done
  DBUS_SESSION_BUS_ADDRESS=$(head -1 "$scratch/bus")
  export DBUS_SESSION_BUS_ADDRESS
fi

if ((with_trayer)); then
  trayer --edge top --align right --widthtype request --height 24 --SetDockType true \
    >"$scratch/trayer.log" 2>&1 &
  pids+=($!)
fi

export KESTROND_SESSION_SCRATCH="$scratch"
"$@"
