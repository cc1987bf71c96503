#!/usr/bin/env bash
# Opening the menu as a D-Bus panel does (AboutToShow, then GetLayout) at
# 10, 100 and 1,000 instances, half running, against the minimal Qt tray
# with as many rows, and the monitor's CPU while its menu is open; from the
# release build, in a private session with a session bus.
# Usage: bench/menu_figures.sh   (builds the release preset first)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release -DKESTROND_BENCHMARKS=ON >/dev/null
cmake --build --preset release >/dev/null
exec tests/e2e/session.sh --dbus -- /usr/bin/python3 bench/menu_figures.py \
  build/release/KestrondMonitor/Contents/bin/kestrond-monitor \
  build/release/standin/kestrond build/release/bench/minimal_tray
