#!/usr/bin/python3
"""End to end under a real systemd user manager: the servers the monitor
starts live in scopes of their own and outlive the session, the monitor's
Quit and its crash; only the end of the manager stops them, with SIGTERM.

The monitor writes its own autostart entry, systemd's generator makes the
unit a systemd desktop runs it as, and that unit runs the monitor, tied to
a stand-in of graphical-session.target. Three times: a server is started
from the menu as a panel does it, then (a) the session ends with the
monitor running, (b) the monitor quits and then the session ends, (c) the
monitor is killed and then the session ends. Then a monitor on a session
bus that does not carry the manager (as dbus-launch makes one) uses the
manager's private socket (d), goes on without it while the manager is
stopped (e), and uses it again once it runs. The stand-in server needs 8 s
after SIGTERM and logs every signal with its sender. Run inside
tests/e2e/session.sh (for the display), as root; skips where no user
manager can run. Arguments: the monitor and the stand-in server.
"""
import glob
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

from e2e_support import (NOTIFICATIONS, Notifications, Panel, WATCHER, Watcher, check,
                         client_connection, end_all, make_installation, start_empty_bus,
                         start_from_menu, wait_until)
from user_manager import Unavailable, UserManager

STOP_DELAY_MS = 8000
TARGET = "fake-session.target"


def signals_of(home, name):
    """The signal lines of an instance's server log: (signal, sender)."""
    try:
        lines = open(os.path.join(home, name, "kestrond.log")).read().splitlines()
    except OSError:
        return []
    found = []
    for line in lines:
        if "]: signal " in line:
            words = line.split("]: signal ", 1)[1].split()
            found.append((int(words[0]), int(words[3])))
    return found


def stopped_cleanly(home, name):
    try:
        return open(os.path.join(home, name, "kestrond.log")).read().rstrip().endswith("stopped")
    except OSError:
        return False


def server_pid(home, name):
    try:
        return int(open(os.path.join(home, name, "kestrond.lck")).read())
    except (OSError, ValueError):
        return 0


def alive(pid):
    try:
        state = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()[0]
        return state != "Z"
    except OSError:
        return False


class Session:
    """The monitor as its unit, and a panel on the manager's bus."""

    def __init__(self, manager, watcher, client, unit):
        self.manager, self.watcher, self.client, self.unit = manager, watcher, client, unit
        self.panel = None

    def start(self):
        seen = len(self.watcher.items)
        self.manager.systemctl("start", TARGET, self.unit)
        try:
            wait_until("the monitor's item", lambda: len(self.watcher.items) > seen)
        except AssertionError:
            print(self.manager.systemctl("status", "--no-pager", self.unit, check=False))
            print(open(os.path.join(self.manager.work, "units.log")).read()[-3000:])
            raise
        self.panel = Panel(self.client, *self.watcher.items[-1])
        return self.panel

    def monitor_pid(self):
        return int(self.manager.show(self.unit, "MainPID"))

    def active(self):
        return self.manager.show(self.unit, "ActiveState")

    def start_server(self, home, name):
        start_from_menu(self.panel, "Start Instance '%s'" % name)
        wait_until(name + " running", lambda: "Stop Instance '%s'" % name in self.panel.titles())
        pid = server_pid(home, name)
        scope = self.manager.in_manager_tree(pid)
        check("/app.slice/app-kestrond\\x2dmonitor-%s-" % name in scope and scope.endswith(".scope"),
              "%s's server is in %s" % (name, scope))
        return pid, os.path.basename(scope)


def check_scope(manager, scope):
    """The properties the manager shows for a server's scope."""
    wanted = {"KillMode": "control-group", "KillSignal": "15", "SendSIGKILL": "no",
              "SendSIGHUP": "no", "TimeoutStopUSec": "infinity", "Slice": "app.slice",
              "PartOf": "", "BindsTo": "", "CollectMode": "inactive-or-failed"}
    for prop, value in wanted.items():
        got = manager.show(scope, prop)
        check(got == value, "%s of %s: %r, not %r" % (prop, scope, got, value))
    check("graphical-session" not in manager.show(scope, "After"), "scope ordered after the session")


def make_monitor_unit(manager, monitor, client, watcher, home):
    """Our autostart entry, written by the monitor itself, through Debian's
    generator; the unit tied to a stand-in session target."""
    environment = dict(manager.env, KESTROND_HOME=home)
    process = subprocess.Popen([monitor], env=environment)
    try:
        wait_until("the first monitor's item", lambda: watcher.items)
        panel = Panel(client, *watcher.items[-1])
        panel.open()
        panel.click("Start Kestrond Monitor at Login")
        wait_until("the autostart entry",
                   lambda: glob.glob(os.path.join(manager.home, ".config/autostart/*.desktop")))
        panel.open()
        panel.click("Quit Kestrond Monitor", then_close=False)
        check(process.wait(20) == 0, "the first monitor did not quit with 0")
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    manager.systemctl("daemon-reload")
    generated = glob.glob(os.path.join(manager.runtime, "systemd/generator.late/app-*@autostart.service"))
    check(len(generated) == 1, "the generator made %r" % generated)
    unit = os.path.basename(generated[0])
    check(unit == "app-kestrond\\x2dmonitor@autostart.service", "the unit is " + unit)
    text = open(generated[0]).read()
    for line in ("PartOf=graphical-session.target", "TimeoutStopSec=5s", "Slice=app.slice",
                 "ExitType=cgroup"):
        check(line in text, "the generated unit lacks " + line)
    units = os.path.join(manager.home, ".config/systemd/user")
    os.makedirs(units, exist_ok=True)
    with open(os.path.join(units, unit), "w") as f:
        f.write(text.replace("graphical-session.target", TARGET))
    with open(os.path.join(units, TARGET), "w") as f:
        f.write("[Unit]\nDescription=Stand-in for the graphical session\n")
    manager.systemctl("set-environment", "KESTROND_HOME=" + home)
    manager.systemctl("daemon-reload")
    return unit


def run(manager, monitor, server):
    dbus.mainloop.glib.threads_init()
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    address = manager.env["DBUS_SESSION_BUS_ADDRESS"]
    service_bus = dbus.bus.BusConnection(address)
    watcher = Watcher(service_bus)
    # Names held by the connection itself, not by objects that release them
    # when collected (the bus has gone by then).
    service_bus.request_name(WATCHER)
    # A desktop has a notification service; without one, the bus would start
    # whatever desktop's is installed, and Plasma's takes the watcher's name.
    notifications = Notifications(service_bus)  # noqa: F841
    service_bus.request_name(NOTIFICATIONS)
    root = tempfile.mkdtemp(prefix="kestrond-units-")
    os.chmod(root, 0o755)
    # For (d) and (e): a session bus that does not carry the manager, with a
    # tray and notifications of its own. Its services are made before the
    # loop runs them, on another thread.
    bus_process, other_address = start_empty_bus(root, os.path.join(root, "bus.log"))
    others = [bus_process]
    other_bus = dbus.bus.BusConnection(other_address)
    other_watcher = Watcher(other_bus)
    other_bus.request_name(WATCHER)
    other_notifications = Notifications(other_bus)  # noqa: F841
    other_bus.request_name(NOTIFICATIONS)
    loop = GLib.MainLoop()
    threading.Thread(target=loop.run, daemon=True).start()
    client = client_connection(address)

    ini = "[standin]\nstop_delay_ms = %d\n" % STOP_DELAY_MS
    home = make_installation(root, server, {"alpha": ini, "bravo": ini, "charlie": ini,
                                            "delta": ini, "echo": "", "foxtrot": ini})
    try:
        unit = make_monitor_unit(manager, monitor, client, watcher, home)
        session = Session(manager, watcher, client, unit)

        # (a) The session ends while the monitor runs.
        session.start()
        alpha, alpha_scope = session.start_server(home, "alpha")
        check_scope(manager, alpha_scope)
        manager.systemctl("stop", TARGET)
        check(session.active() == "inactive", "the monitor's unit is " + session.active())
        check(alive(alpha) and signals_of(home, "alpha") == [],
              "(a) the logout reached alpha: %r" % signals_of(home, "alpha"))

        # (b) Quit, then the session ends. The new monitor shows alpha as
        # running, started by another.
        panel = session.start()
        wait_until("alpha shown running", lambda: "Stop Instance 'alpha'" in panel.titles())
        bravo, _ = session.start_server(home, "bravo")
        panel.open()
        panel.click("Quit Kestrond Monitor", then_close=False)
        wait_until("the monitor's unit to end after Quit", lambda: session.active() == "inactive")
        manager.systemctl("stop", TARGET)
        for name, pid in (("alpha", alpha), ("bravo", bravo)):
            check(alive(pid) and signals_of(home, name) == [],
                  "(b) %s got %r" % (name, signals_of(home, name)))

        # (c) The monitor is killed, then the session ends. Before that,
        # bravo is stopped from its menu: SIGTERM from the monitor, once.
        panel = session.start()
        charlie, _ = session.start_server(home, "charlie")
        start_from_menu(panel, "Stop Instance 'bravo'")
        stopper = session.monitor_pid()
        wait_until("bravo's SIGTERM", lambda: signals_of(home, "bravo"))
        manager.systemctl("kill", "--signal=KILL", "--kill-who=main", unit)
        wait_until("the killed monitor's unit to end",
                   lambda: session.active() in ("inactive", "failed"))
        manager.systemctl("stop", TARGET)
        wait_until("bravo to end cleanly", lambda: not alive(bravo), STOP_DELAY_MS / 1000 + 20)
        check(stopped_cleanly(home, "bravo") and
              signals_of(home, "bravo") == [(signal.SIGTERM, stopper)],
              "bravo: %r" % signals_of(home, "bravo"))
        for name, pid in (("alpha", alpha), ("charlie", charlie)):
            check(alive(pid) and signals_of(home, name) == [],
                  "(c) %s got %r" % (name, signals_of(home, name)))

        # (d) A session bus without the manager beside it (as dbus-launch
        # makes one): the manager's private socket serves.
        monitor_log = os.path.join(root, "monitor.log")
        with open(monitor_log, "w") as log:
            others.append(subprocess.Popen([monitor], stderr=log, env=dict(
                manager.env, DBUS_SESSION_BUS_ADDRESS=other_address, KESTROND_HOME=home)))
        wait_until("the monitor's item on the other bus", lambda: other_watcher.items)
        other = Session(manager, other_watcher, client_connection(other_address), None)
        other.panel = Panel(other.client, *other_watcher.items[0])
        delta, _ = other.start_server(home, "delta")

        # (e) A wedged manager: the start goes on after the bounded wait,
        # where the monitor runs, with one line.
        os.kill(manager.pid, signal.SIGSTOP)
        try:
            start_from_menu(other.panel, "Start Instance 'echo'")
            wait_until("echo running", lambda: "Stop Instance 'echo'" in other.panel.titles())
        finally:
            os.kill(manager.pid, signal.SIGCONT)
        # It did not answer in time, or dropped the connection it never took.
        line = "The server in %s runs in the monitor's session: " % os.path.join(home, "echo")
        told = [l for l in open(monitor_log).read().splitlines() if line in l]
        check(len(told) == 1 and (told[0].endswith("did not answer within 5 s") or
                                  told[0].endswith("could not be reached")),
              "no line %r in %s" % (line, open(monitor_log).read()))
        # The manager answers again: the next start gets its scope.
        foxtrot, _ = other.start_server(home, "foxtrot")

        # The end of the user's manager: one SIGTERM each, from the manager,
        # and the 8 s shutdown runs to its end.
        manager_pid = manager.pid
        manager.check_safety()
        manager.stop_manager(STOP_DELAY_MS / 1000 + 30)
        for name, pid in (("alpha", alpha), ("charlie", charlie), ("delta", delta),
                          ("foxtrot", foxtrot)):
            check(not alive(pid), name + " outlived its manager")
            check(signals_of(home, name) == [(signal.SIGTERM, manager_pid)] and
                  stopped_cleanly(home, name),
                  "%s at the manager's end: %r" % (name, signals_of(home, name)))
        log = open(manager.manager_log, errors="replace").read()
        kills = [l for l in log.splitlines() if "app-kestrond" in l and "SIGKILL" in l]
        check(not kills, "the manager killed: %r" % kills)
    finally:
        loop.quit()
        end_all(others)
        for name in ("alpha", "bravo", "charlie", "delta", "echo", "foxtrot"):
            pid = server_pid(home, name)
            if pid and alive(pid):
                os.kill(pid, signal.SIGKILL)
        shutil.rmtree(root, ignore_errors=True)


def main():
    monitor, server = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    try:
        with UserManager() as manager:
            run(manager, monitor, server)
    except Unavailable as reason:
        print("skipped: no user manager can run here: %s" % reason)
        return 77
    print("service units: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
