#!/usr/bin/python3
"""The display going away (a logout, a test harness tearing its session
down) ends the monitor with status 0 and one line, also while it is quitting:
the session is over and nothing is lost, and a user service that ends with 1
shows as failed after every logout. Run inside tests/e2e/session.sh --dbus,
with the monitor and the stand-in server as arguments; it starts displays of
its own to take away."""
import os
import subprocess
import sys
import tempfile
import threading
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

from e2e_support import (WATCHER, Panel, Watcher, check, client_connection, make_installation,
                         wait_until)

ROUNDS = 12


def start_display(root):
    """An Xvfb of this test's own on a free display, once it takes clients."""
    number = next(n for n in range(60, 1000) if not os.path.exists("/tmp/.X%d-lock" % n)
                  and not os.path.exists("/tmp/.X11-unix/X%d" % n))
    xvfb = subprocess.Popen(["Xvfb", ":%d" % number, "-nolisten", "tcp"],
                            stderr=open(os.path.join(root, "xvfb.log"), "a"))
    wait_until("the display", lambda: subprocess.run(
        ["xdpyinfo", "-display", ":%d" % number], capture_output=True).returncode == 0)
    return xvfb, ":%d" % number


def main():
    monitor, server = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    dbus.mainloop.glib.threads_init()
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    loop = GLib.MainLoop()
    threading.Thread(target=loop.run, daemon=True).start()
    client = client_connection(os.environ["DBUS_SESSION_BUS_ADDRESS"])
    root = tempfile.mkdtemp(prefix="kestrond-display-")
    home = make_installation(root, server, {"database": ""})
    statuses = []
    for round_ in range(ROUNDS):
        # Half the rounds take the display away while it runs, half while
        # it is quitting (Quit chosen, the display gone a moment later).
        quitting = round_ % 2 == 1
        xvfb, display = start_display(root)
        watcher = Watcher(bus)
        name = dbus.service.BusName(WATCHER, bus)
        log_path = os.path.join(root, "monitor-%d.log" % round_)
        process = subprocess.Popen([monitor], stderr=open(log_path, "w"),
                                   env=dict(os.environ, KESTROND_HOME=home, DISPLAY=display))
        try:
            check(watcher.registered.wait(20), "no item registered")
            panel = Panel(client, *watcher.items[0])
            wait_until("the menu", lambda: "Quit Kestrond Monitor" in panel.titles())
            if quitting:
                panel.open()
                panel.click("Quit Kestrond Monitor", then_close=False)
                time.sleep(0.002 * round_)
            # As at a logout: the server ends and every client's connection
            # with it (SIGTERM, so that it also removes its lock file).
            xvfb.terminate()
            xvfb.wait()
            try:
                status = process.wait(10)
            except subprocess.TimeoutExpired:
                raise AssertionError("the monitor still runs 10 s after its display went")
            said = open(log_path, errors="replace").read()
            check(status == 0, "round %d: status %d; it said: %s" % (round_, status, said))
            if not quitting:
                check("display" in said, "round %d: nothing said: %r" % (round_, said))
            statuses.append(status)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
            if xvfb.poll() is None:
                xvfb.terminate()
                xvfb.wait()
            watcher.remove_from_connection()
            del name
    print("display gone: %d rounds, all status 0" % len(statuses))
    print("display gone: 1 passed, 0 failed")
    loop.quit()
    return 0


if __name__ == "__main__":
    sys.exit(main())
