#!/usr/bin/env python3
"""The tray look-up never waits on a StatusNotifierWatcher that does not answer.

Run inside tests/e2e/session.sh --dbus (a private session bus, no tray). A
helper process owns org.kde.StatusNotifierWatcher and never reads a message,
as a panel does that is starting or wedged. The monitor must decide that
there is no tray yet within a few seconds, and say so, instead of freezing
on a synchronous introspection of the watcher.
"""
import os
import subprocess
import sys
import tempfile
import time

from e2e_support import make_instance

WEDGED = r'''
import dbus, sys, time
bus = dbus.SessionBus()
bus.request_name("org.kde.StatusNotifierWatcher")
print("owned", flush=True)
time.sleep(120)  # no main loop: nothing is ever answered
'''


def main():
    monitor = os.path.abspath(sys.argv[1])
    wedged = subprocess.Popen([sys.executable, "-c", WEDGED], stdout=subprocess.PIPE, text=True)
    process = None
    try:
        if wedged.stdout.readline().strip() != "owned":
            print("FAILED: the helper could not own the watcher name")
            return 1
        root = tempfile.mkdtemp(prefix="kestrond-wedged-")
        home = os.path.join(root, "installation")
        make_instance(home, "database")
        environment = dict(os.environ, KESTROND_HOME=home)
        errors = open(os.path.join(root, "monitor.err"), "w+")
        started = time.monotonic()
        process = subprocess.Popen([monitor], env=environment, stderr=errors)
        # One look waits at most a second for the watcher; a frozen look
        # waited 25 s.
        deadline = started + 5
        while time.monotonic() < deadline:
            errors.seek(0)
            if "No system tray yet" in errors.read():
                elapsed = time.monotonic() - started
                print("wedged watcher: no tray decided after %.1f s" % elapsed)
                print("wedged watcher: 1 passed, 0 failed")
                return 0
            time.sleep(0.05)
        errors.seek(0)
        print("FAILED: no decision within 5 s; the monitor said: %r" % errors.read())
        return 1
    finally:
        if process:
            process.terminate()
            process.wait()
        wedged.kill()
        wedged.wait()


if __name__ == "__main__":
    sys.exit(main())
