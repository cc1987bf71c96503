#!/usr/bin/python3
"""End to end against a stand-in service manager on the session bus: what
the monitor asks of it for each server, that the server waits until its
unit exists, and the fallback where the manager never answers or is not
there at all.

Run inside tests/e2e/session.sh --dbus, with the monitor and the stand-in
server as arguments.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

from e2e_support import (NOTIFICATIONS, Notifications, Panel, WATCHER, Watcher, check,
                         client_connection, end_all, kill_servers, make_installation,
                         start_from_menu, wait_until)

SYSTEMD = "org.freedesktop.systemd1"
MANAGER = "org.freedesktop.systemd1.Manager"


class FakeManager(dbus.service.Object):
    """Records StartTransientUnit; answers it, holds the job's end until
    told, or never answers at all."""

    def __init__(self, bus):
        super().__init__(bus, "/org/freedesktop/systemd1")
        self.calls = []
        self.silent = False
        self.jobs = 0

    @dbus.service.method(MANAGER, in_signature="ssa(sv)a(sa(sv))", out_signature="o",
                         async_callbacks=("reply", "error"))
    def StartTransientUnit(self, name, mode, properties, aux, reply, error):
        self.calls.append((str(name), str(mode), properties, aux))
        if self.silent:
            return  # neither a reply nor an error: a wedged manager
        self.jobs += 1
        reply(dbus.ObjectPath("/org/freedesktop/systemd1/job/%d" % self.jobs))

    def finish_job(self, index, result="done"):
        name = self.calls[index][0]
        GLib.idle_add(lambda: self.JobRemoved(dbus.UInt32(index + 1), dbus.ObjectPath(
            "/org/freedesktop/systemd1/job/%d" % (index + 1)), name, result) and False)

    @dbus.service.signal(MANAGER, signature="uoss")
    def JobRemoved(self, ident, job, unit, result):
        pass


def program(pid):
    """What the process runs now: its first argument."""
    try:
        return open("/proc/%d/cmdline" % pid, "rb").read().split(b"\0")[0].decode()
    except OSError:
        return ""


def main():
    monitor, server = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    dbus.mainloop.glib.threads_init()
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    watcher = Watcher(bus)
    bus.request_name(WATCHER)
    notifications = Notifications(bus)  # noqa: F841 (nothing to start on demand)
    bus.request_name(NOTIFICATIONS)
    manager = FakeManager(bus)
    bus.request_name(SYSTEMD)
    loop = GLib.MainLoop()
    threading.Thread(target=loop.run, daemon=True).start()
    client = client_connection(os.environ["DBUS_SESSION_BUS_ADDRESS"])

    root = tempfile.mkdtemp(prefix="kestrond-manager-")
    names = ("alpha", "bravo", "charlie", "delta")
    home = make_installation(root, server, {name: "" for name in names})
    log_path = os.path.join(root, "monitor.log")
    log = open(log_path, "w")
    process = subprocess.Popen([monitor], env=dict(os.environ, KESTROND_HOME=home),
                               stderr=log)
    lines = lambda: open(log_path).read()
    try:
        check(watcher.registered.wait(20), "the monitor registered no item")
        panel = Panel(client, *watcher.items[0])

        # The scope asked for, exactly; the server waits for its job's end.
        start_from_menu(panel, "Start Instance 'alpha'")
        wait_until("the scope asked for", lambda: manager.calls)
        name, mode, properties, aux = manager.calls[0]
        check(re.fullmatch(r"app-kestrond\\x2dmonitor-alpha-[0-9a-f]{16}\.scope", name), name)
        check(mode == "fail" and list(aux) == [], "mode %r, aux %r" % (mode, aux))
        child = int(properties[[str(p[0]) for p in properties].index("PIDs")][1][0])
        got = {str(key): (value, value.signature if hasattr(value, "signature") else
                          type(value).__name__) for key, value in properties}
        wanted = {"Description": "Kestrond server in " + os.path.join(home, "alpha"),
                  "PIDs": [child], "Slice": "app.slice", "KillMode": "control-group",
                  "KillSignal": 15, "SendSIGHUP": False, "SendSIGKILL": False,
                  "TimeoutStopUSec": 2 ** 64 - 1, "CollectMode": "inactive-or-failed"}
        check(sorted(got) == sorted(wanted), "properties: %r" % sorted(got))
        for key, value in wanted.items():
            check(got[key][0] == value, "%s: %r, not %r" % (key, got[key][0], value))
        types = {key: type(value).__name__ for key, (value, _) in got.items()}
        check(types == {"Description": "String", "PIDs": "Array", "Slice": "String",
                        "KillMode": "String", "KillSignal": "Int32", "SendSIGHUP": "Boolean",
                        "SendSIGKILL": "Boolean", "TimeoutStopUSec": "UInt64",
                        "CollectMode": "String"}, "types: %r" % types)
        check(got["PIDs"][0].signature == "u", "PIDs: a%s" % got["PIDs"][0].signature)
        # Held as long as the job runs, however long that is.
        time.sleep(1.0)
        check(program(child) == monitor, "the server ran before its scope existed: %r"
              % program(child))
        titles = [row[1] for row in panel.open()]
        check("Instance 'alpha': Starting" in titles, repr(titles))
        manager.finish_job(0)
        wait_until("alpha running", lambda: "Stop Instance 'alpha'" in panel.titles())
        check(program(child) == "kestrond", "the server is %r" % program(child))
        check("runs in the monitor's session" not in lines(), lines())
        # Placed, the monitor listens to the manager no more: at rest, its
        # signals wake nothing.
        stats = dbus.Interface(bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus"),
                               "org.freedesktop.DBus.Debug.Stats")
        job_rules = lambda: [str(rule) for rules in stats.GetAllMatchRules().values()
                             for rule in rules if "JobRemoved" in rule]
        wait_until("the monitor's JobRemoved rule gone", lambda: not job_rules())

        # A manager that cannot make the unit (a process it may not move,
        # say): the server runs where the monitor runs, with one line.
        start_from_menu(panel, "Start Instance 'delta'")
        wait_until("delta's scope asked for", lambda: len(manager.calls) == 2)
        manager.finish_job(1, "failed")
        wait_until("delta running", lambda: "Stop Instance 'delta'" in panel.titles())
        line = ("The server in %s runs in the monitor's session: the service manager could not "
                "make its unit (failed)" % os.path.join(home, "delta"))
        check(lines().count(line) == 1, "no line %r in %s" % (line, lines()))

        # A manager that never answers: the server runs after the bounded
        # wait, with one line.
        manager.silent = True
        start_from_menu(panel, "Start Instance 'bravo'")
        wait_until("bravo's scope asked for", lambda: len(manager.calls) == 3)
        check(job_rules(), "the monitor does not listen for the job's end")
        wait_until("bravo running", lambda: "Stop Instance 'bravo'" in panel.titles(), 20)
        wait_until("the rule gone after the wait", lambda: not job_rules())
        line = ("The server in %s runs in the monitor's session: the service manager did not "
                "answer within 5 s" % os.path.join(home, "bravo"))
        check(lines().count(line) == 1, "no line %r in %s" % (line, lines()))

        # No manager at all (nor its private socket): at once, one line.
        bus.release_name(SYSTEMD)
        start_from_menu(panel, "Start Instance 'charlie'")
        wait_until("charlie running", lambda: "Stop Instance 'charlie'" in panel.titles())
        line = ("The server in %s runs in the monitor's session: no service manager on the "
                "session bus" % os.path.join(home, "charlie"))
        check(lines().count(line) == 1, "no line %r in %s" % (line, lines()))
        check(len(manager.calls) == 3, "calls: %d" % len(manager.calls))
    finally:
        end_all([process])
        kill_servers(home, names)
        loop.quit()
        log.close()
        shutil.rmtree(root, ignore_errors=True)
    print("service manager: passed")


if __name__ == "__main__":
    main()
