#!/usr/bin/env bash
# End to end through an X11 (XEmbed) tray: trayer under Xvfb, no session bus.
# The monitor starts before the panel, as at a login, and must wait for it;
# then the icon is clicked, the menu must pop up (a screenshot of it is kept),
# and Quit from the keyboard must end the monitor with status 0.
# Usage (inside session.sh): x11_tray_test.sh MONITOR SERVER ARTIFACT_DIR
set -euo pipefail
monitor=$(realpath "$1")
server=$(realpath "$2")
artifacts=$3
mkdir -p "$artifacts"

root=$(mktemp -d /tmp/kestrond-x11-XXXXXX)
monitor_pid=
trayer_pid=
cleanup() {
  # Never "kill 0": that would end the whole process group, test runner included.
  for pid in $monitor_pid $trayer_pid; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$root"
}
trap cleanup EXIT
mkdir -p "$root/installation/database" "$root/installation/bin"
: >"$root/installation/database/kestrond.ini"
ln -s "$server" "$root/installation/bin/kestrond"

KESTROND_HOME="$root/installation" "$monitor" 2>"$root/monitor.log" &
monitor_pid=$!

# The embedded icon: a small visible window of ours, found by the
# monitor's pid as desktop tools find a program's windows.
windows_of_ours() { xdotool search --onlyvisible --pid "$monitor_pid" 2>/dev/null || true; }
find_window() {  # $1: "small" or "large"
  local window
  for window in $(windows_of_ours); do
    eval "$(xdotool getwindowgeometry --shell "$window")"
    if [[ $1 == small && $WIDTH -le 64 && $HEIGHT -le 64 ]] ||
       [[ $1 == large && $WIDTH -gt 100 ]]; then
      echo "$window"
      return 0
    fi
  done
  return 1
}
wait_for() {  # $1: what, then the command
  local what=$1
  shift
  for _ in $(seq $((100 * ${E2E_PATIENCE:-1}))); do "$@" && return 0; sleep 0.1; done
  echo "timed out waiting for $what" >&2
  return 1
}

logged_waiting() { grep -q "No system tray yet" "$root/monitor.log"; }
wait_for "the line about the missing tray" logged_waiting
trayer --edge top --align right --widthtype request --height 24 >/dev/null 2>&1 &
trayer_pid=$!
wait_for "the tray icon" find_window small >/dev/null
# The icon may still be on its way into the tray (mapped, then reparented)
# when it is first seen, and a click at where it was is lost: the click is
# made again at where it is now, a few times, before the menu counts as
# missing.
click_for_menu() {
  local icon
  icon=$(find_window small) || return 1
  eval "$(xdotool getwindowgeometry --shell "$icon")"
  xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 1
  for _ in $(seq $((30 * ${E2E_PATIENCE:-1}))); do
    find_window large >/dev/null && return 0
    sleep 0.1
  done
  return 1
}
menu_shown=0
for _ in 1 2 3; do click_for_menu && { menu_shown=1; break; }; done
if ((menu_shown == 0)); then
  echo "timed out waiting for the menu" >&2
  exit 1
fi
sleep 0.3
import -window root "$artifacts/x11-tray-menu.png"
[[ -s "$artifacts/x11-tray-menu.png" ]]

# The last entry is Quit: Up from the top wraps to it.
xdotool key Up Return
status=0
for _ in $(seq $((100 * ${E2E_PATIENCE:-1}))); do kill -0 "$monitor_pid" 2>/dev/null || break; sleep 0.1; done
wait "$monitor_pid" || status=$?
monitor_pid=
if [[ $status -ne 0 ]]; then
  echo "the monitor ended with status $status" >&2
  exit 1
fi
if [[ $(grep -c "No system tray yet" "$root/monitor.log") -ne 1 ]]; then
  echo "the missing tray was not logged exactly once" >&2
  exit 1
fi
echo "x11 tray flow: 1 passed, 0 failed"
