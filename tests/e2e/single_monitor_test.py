#!/usr/bin/python3
"""One monitor per session: a second start (start at login and a start from
the application menu, say) leaves the first alone and ends with status 0
within a second, on the session bus and, without one, through a lock in
XDG_RUNTIME_DIR. The first finds the session bus as the user's bus in
XDG_RUNTIME_DIR, where DBUS_SESSION_BUS_ADDRESS is not set. Run inside
tests/e2e/session.sh --dbus, with the monitor as argument."""
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

from e2e_support import (DEADLINE_SECONDS, WATCHER, Watcher, check, make_installation,
                         wait_until)


def second_start(monitor, environment, log_path):
    """Starts another monitor; its exit status and how long it took."""
    with open(log_path, "w") as log:
        started = time.monotonic()
        second = subprocess.Popen([monitor], env=environment, stderr=log)
        try:
            status = second.wait(5)
        except subprocess.TimeoutExpired:
            second.kill()
            second.wait()
            raise AssertionError("the second monitor is still running after 5 s")
    return status, time.monotonic() - started


def main():
    monitor = os.path.abspath(sys.argv[1])
    server = os.path.abspath(sys.argv[2])
    dbus.mainloop.glib.threads_init()
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    watcher = Watcher(bus)
    name = dbus.service.BusName(WATCHER, bus)  # noqa: F841
    loop = GLib.MainLoop()
    threading.Thread(target=loop.run, daemon=True).start()

    root = tempfile.mkdtemp(prefix="kestrond-single-")
    home = make_installation(root, server, {"database": ""})
    environment = dict(os.environ, KESTROND_HOME=home)
    # The first one finds the bus where a user's session keeps it: the
    # socket itself (a hard link to it), as libdbus takes no symbolic link.
    address = os.environ["DBUS_SESSION_BUS_ADDRESS"]
    check(address.startswith("unix:path="), "a bus socket to link: %s" % address)
    user_runtime = tempfile.mkdtemp(prefix="kestrond-user-runtime-")
    os.link(address[len("unix:path="):].split(",")[0], os.path.join(user_runtime, "bus"))
    first_environment = {key: value for key, value in environment.items()
                         if key != "DBUS_SESSION_BUS_ADDRESS"}
    first_environment["XDG_RUNTIME_DIR"] = user_runtime
    first = subprocess.Popen([monitor], env=first_environment,
                             stderr=open(os.path.join(root, "first.log"), "w"))
    processes = [first]
    try:
        check(watcher.registered.wait(DEADLINE_SECONDS), "the first monitor registered no item")

        # On the session bus.
        log_path = os.path.join(root, "second.log")
        status, took = second_start(monitor, environment, log_path)
        said = open(log_path, errors="replace").read()
        check(status == 0, "the second monitor exited with %d: %s" % (status, said))
        check(took < 1.0, "the second monitor took %.2f s to leave" % took)
        check("already running" in said, "the second monitor said: %r" % said)
        time.sleep(0.5)
        check(first.poll() is None, "the first monitor ended")
        check(len(watcher.items) == 1, "items registered: %r" % watcher.items)
        print("on the bus: the second start left after %.2f s" % took)

        # Without a session bus: the lock in XDG_RUNTIME_DIR does the job.
        runtime = tempfile.mkdtemp(prefix="kestrond-runtime-")
        no_bus = dict(environment, DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent",
                      XDG_RUNTIME_DIR=runtime)
        lonely = subprocess.Popen([monitor], env=no_bus,
                                  stderr=open(os.path.join(root, "lonely.log"), "w"))
        processes.append(lonely)
        wait_until("the lock", lambda: os.path.exists(os.path.join(runtime, "kestrond-monitor.lock")))
        time.sleep(0.5)
        check(lonely.poll() is None, "the monitor without a bus ended")
        log_path = os.path.join(root, "second-no-bus.log")
        status, took = second_start(monitor, no_bus, log_path)
        said = open(log_path, errors="replace").read()
        check(status == 0, "the second monitor without a bus exited with %d: %s" % (status, said))
        check("already running" in said, "the second monitor without a bus said: %r" % said)
        check(lonely.poll() is None, "the first monitor without a bus ended")
        print("without a bus: the second start left after %.2f s" % took)
        print("single monitor: 1 passed, 0 failed")
        return 0
    finally:
        for process in processes:
            if process.poll() is None:
                process.terminate()
                process.wait()
        loop.quit()


if __name__ == "__main__":
    sys.exit(main())
