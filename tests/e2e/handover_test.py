#!/usr/bin/python3
"""A panel hands the StatusNotifierWatcher's name over while the monitor is
held (SIGSTOP), so that it learns of the old owner's going only after a new
one has the name. Run inside tests/e2e/session.sh --dbus (X11, no tray).

The monitor must follow the new owner, and never ask it anything
synchronously. Two rounds, each with a fresh monitor:
  1. the new watcher answers: it gets the monitor's item alone, no second
     item (a tray icon of Qt's would be one), and no X11 icon is shown;
  2. the new watcher never answers (a panel starting up): the monitor still
     answers its menu's calls at once.
"""
import os
import signal
import subprocess
import sys
import tempfile
import time

import dbus
import dbus.mainloop.glib

from e2e_support import (MENU, WATCHER, Watcher, check, end_all, make_installation, spin_for,
                         spin_until, start_wedged_watcher, windows_of_ours)


def main():
    monitor, server = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    address = os.environ["DBUS_SESSION_BUS_ADDRESS"]
    home = make_installation(tempfile.mkdtemp(prefix="kestrond-handover-"), server, {"alpha": ""})
    client = dbus.bus.BusConnection(address)
    for round_ in ("answering", "wedged"):
        first_bus = dbus.bus.BusConnection(address)
        first = Watcher(first_bus)
        first_bus.request_name(WATCHER)
        process = subprocess.Popen([monitor], env=dict(os.environ, KESTROND_HOME=home))
        wedged = None
        try:
            spin_until("the item registered with the first watcher", lambda: first.items)
            service = str(first.items[0][0])
            process.send_signal(signal.SIGSTOP)
            first_bus.release_name(WATCHER)
            first_bus.close()
            if round_ == "answering":
                second_bus = dbus.bus.BusConnection(address)
                second = Watcher(second_bus)
                second_bus.request_name(WATCHER)
            else:
                wedged = start_wedged_watcher()
            process.send_signal(signal.SIGCONT)
            if round_ == "answering":
                spin_until("the item registered with the new watcher", lambda: second.items)
                spin_for(1.5)
                check([str(name) for name, _ in second.items] == [service],
                      "registered with the new watcher: %r" % (second.items,))
                second_bus.close()
            else:
                spin_for(0.5)
                menu = dbus.Interface(client.get_object(service, "/MenuBar"), MENU)
                for _ in range(5):
                    started = time.monotonic()
                    menu.GetLayout(0, -1, dbus.Array([], signature="s"), timeout=10)
                    took = time.monotonic() - started
                    check(took < 1.0, "a menu call took %.1f s" % took)
            check(not windows_of_ours(), "an X11 icon beside the watcher")
            check(process.poll() is None, "the monitor ended")
            print("hand-over, %s watcher: passed" % round_)
        finally:
            if wedged:
                end_all([wedged])
            process.terminate()
            process.wait()
    print("hand-over: 1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
