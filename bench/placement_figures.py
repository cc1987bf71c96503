#!/usr/bin/python3
"""What placing a server in its own scope adds to a start, under a real
systemd user manager (tests/e2e/user_manager.py; root only): a held child
is forked, the scope is asked for as the monitor asks for it, and the time
from the request to the job's end (when the monitor lets the server run) is
taken, 50 times. Prints the median and the slowest. Run as root:
    bench/placement_figures.py"""
import os
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import dbus  # noqa: E402
import dbus.mainloop.glib  # noqa: E402
from gi.repository import GLib  # noqa: E402
from user_manager import Unavailable, UserManager  # noqa: E402


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    try:
        with UserManager() as manager:
            bus = dbus.bus.BusConnection(manager.env["DBUS_SESSION_BUS_ADDRESS"])
            systemd = dbus.Interface(bus.get_object("org.freedesktop.systemd1",
                                                    "/org/freedesktop/systemd1"),
                                     "org.freedesktop.systemd1.Manager")
            done = {}
            bus.add_signal_receiver(lambda i, job, unit, result: done.__setitem__(str(unit), result),
                                    "JobRemoved", "org.freedesktop.systemd1.Manager")
            context = GLib.MainContext.default()
            times = []
            for round in range(50):
                read, write = os.pipe()
                pid = os.fork()
                if pid == 0:
                    os.close(write)
                    os.read(read, 1)
                    os._exit(0)
                os.close(read)
                name = "app-kestrond\\x2dmonitor-bench-%016x.scope" % round
                properties = [("Description", "bench"), ("PIDs", dbus.Array([dbus.UInt32(pid)], "u")),
                              ("Slice", "app.slice"), ("KillMode", "control-group"),
                              ("KillSignal", dbus.Int32(15)), ("SendSIGHUP", False),
                              ("SendSIGKILL", False), ("TimeoutStopUSec", dbus.UInt64(2 ** 64 - 1)),
                              ("CollectMode", "inactive-or-failed")]
                start = time.monotonic()
                systemd.StartTransientUnit(name, "fail", dbus.Array(properties, "(sv)"),
                                           dbus.Array([], "(sa(sv))"))
                while name not in done:
                    context.iteration(True)
                times.append(time.monotonic() - start)
                assert done[name] == "done", done[name]
                os.close(write)
                os.waitpid(pid, 0)
            print("scope for a held server, request to job's end, 50 starts: median %.1f ms, "
                  "slowest %.1f ms" % (statistics.median(times) * 1000, max(times) * 1000))
    except Unavailable as reason:
        print("no user manager can run here: %s" % reason)
        return 77
    return 0


if __name__ == "__main__":
    sys.exit(main())
