#!/usr/bin/env python3
"""A StatusNotifierWatcher that shows nothing is no tray: beside one, the
item is docked in the X11 (XEmbed) tray until a host shows it. Run inside
tests/e2e/session.sh --dbus (X11, no tray; the test starts trayer).

  1. A watcher that never answers (a panel starting up, or wedged), no
     tray: within a few seconds the monitor says there is no tray yet,
     instead of freezing on a synchronous call. Then trayer starts: the
     icon docks in it, shows its tool tip under the pointer, and a click
     on it opens the menu. Trayer restarts:
     the icon is hidden meanwhile, and docks again.
  2. A watcher without a host, trayer running: the icon docks. A host
     registers: the icon goes, and the item is registered once.
"""
import os
import subprocess
import sys
import tempfile
import time

import dbus
import dbus.mainloop.glib

from e2e_support import (WATCHER, Watcher, check, docked_icon, end_all, make_installation,
                         spin_until, start_wedged_watcher, wait_until)

# The wedged watcher is given a second to answer; a frozen look took 25 s.
DECIDED_SECONDS = 5


def start_trayer():
    return subprocess.Popen(["trayer", "--edge", "top", "--align", "right", "--widthtype",
                             "request", "--height", "24"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def shown_windows():
    """The monitor's windows on screen: (width, whether it is a tool tip)."""
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--class", "kestrond-monitor"],
                           capture_output=True, text=True).stdout.split()
    windows = []
    for window in found:
        shell = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window],
                               capture_output=True, text=True).stdout.split()
        kind = subprocess.run(["xprop", "-id", window, "_NET_WM_WINDOW_TYPE"],
                              capture_output=True, text=True).stdout
        widths = [int(line[6:]) for line in shell if line.startswith("WIDTH=")]
        if widths:
            windows.append((widths[0], "_NET_WM_WINDOW_TYPE_TOOLTIP" in kind))
    return windows


def menu_shown():
    return any(width > 100 and not tip for width, tip in shown_windows())


def tool_tip_shown():
    # The pointer is moved onto the icon again while the tip does not show:
    # one that came before the icon had its place was not on it.
    x, y, width, height = wait_until("the docked icon", docked_icon)
    subprocess.run(["xdotool", "mousemove", str(x + width // 2), str(y + height // 2)],
                   check=True)
    return any(tip for _, tip in shown_windows())


def click_for_menu():
    # The icon may still be on its way into the tray when first seen: the
    # click is made again where it is now before the menu counts as missing.
    for _ in range(3):
        x, y, width, height = wait_until("the docked icon", docked_icon)
        subprocess.run(["xdotool", "mousemove", str(x + width // 2), str(y + height // 2),
                        "click", "1"], check=True)
        try:
            return wait_until("the menu", menu_shown, seconds=3)
        except AssertionError:
            pass
    raise AssertionError("no menu after three clicks on the icon")


def wedged_round(monitor, home, root):
    errors_path = os.path.join(root, "wedged.err")
    processes = [start_wedged_watcher()]
    try:
        with open(errors_path, "w") as errors:
            started = time.monotonic()
            processes.append(subprocess.Popen([monitor], env=dict(os.environ, KESTROND_HOME=home),
                                              stderr=errors))
        wait_until("the line about the missing tray",
                   lambda: "No system tray yet" in open(errors_path).read(),
                   seconds=DECIDED_SECONDS)
        print("wedged watcher: no tray decided after %.1f s" % (time.monotonic() - started))
        check(docked_icon() is None, "an icon shown without a tray")
        processes.append(start_trayer())
        wait_until("the icon docked beside the wedged watcher", docked_icon)
        wait_until("the tool tip on the icon", tool_tip_shown)
        click_for_menu()
        subprocess.run(["xdotool", "key", "Escape"], check=True)
        # The tray restarts: the icon handed back to the screen stays
        # unseen, and docks in the new tray.
        end_all([processes.pop()])
        wait_until("the icon hidden with the tray gone", lambda: docked_icon() is None)
        processes.append(start_trayer())
        wait_until("the icon docked in the restarted tray", docked_icon)
        check(processes[1].poll() is None, "the monitor ended")
    finally:
        end_all(reversed(processes))


def hostless_round(monitor, home):
    address = os.environ["DBUS_SESSION_BUS_ADDRESS"]
    bus = dbus.bus.BusConnection(address)
    watcher = Watcher(bus, host=False)
    bus.request_name(WATCHER)
    processes = [start_trayer()]
    try:
        processes.append(subprocess.Popen([monitor], env=dict(os.environ, KESTROND_HOME=home)))
        spin_until("the item registered", lambda: watcher.items)
        spin_until("the icon docked beside the host-less watcher", docked_icon)
        watcher.host_comes()
        spin_until("the icon gone once a host shows the item", lambda: docked_icon() is None)
        check(len(watcher.items) == 1, "registered %d times" % len(watcher.items))
        check(processes[1].poll() is None, "the monitor ended")
    finally:
        end_all(reversed(processes))
        bus.close()


def main():
    monitor, server = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    root = tempfile.mkdtemp(prefix="kestrond-hostless-")
    home = make_installation(root, server, {"database": ""})
    wedged_round(monitor, home, root)
    print("wedged watcher: passed")
    hostless_round(monitor, home)
    print("host-less watcher: passed")
    print("watchers that show nothing: 2 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
