#!/usr/bin/python3
"""Opening the menu the way a D-Bus panel does, timed: the monitor against the
minimal Qt tray exporting as many rows, in one run.

Run by bench/menu_figures.sh inside a private session with a session bus.
Plays the StatusNotifierWatcher, and for 10, 100 and 1,000 instances (half
of them with a running stand-in server) times AboutToShow followed by
GetLayout, the round trip a panel makes when its user clicks the icon, then
the same on the minimal tray with the same number of rows. Also reads the
monitor's CPU time over five seconds with the menu open (the half-second
refresh running) at each size.

    menu_figures.py MONITOR SERVER MINIMAL_TRAY
"""
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from e2e_support import WATCHER, Watcher, wait_until  # noqa: E402

MENU = "com.canonical.dbusmenu"
ITEM = "org.kde.StatusNotifierItem"
OPENINGS = 30
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


class Client:
    def __init__(self, watcher):
        self.watcher = watcher
        self.bus = dbus.bus.BusConnection(os.environ["DBUS_SESSION_BUS_ADDRESS"])

    def menu_of(self, pid):
        """The dbusmenu object of the item the process registered."""
        def item():
            for name, path in list(self.watcher.items):
                try:
                    owner = self.bus.call_blocking(
                        "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                        "GetConnectionUnixProcessID", "s", (name,))
                except dbus.DBusException:
                    continue  # an item whose program has ended
                if owner == pid:
                    return name, path
            return None
        name, path = wait_until("the item of process %d" % pid, item, 30)
        menu_path = self.bus.get_object(name, path).Get(
            ITEM, "Menu", dbus_interface=dbus.PROPERTIES_IFACE)
        return dbus.Interface(self.bus.get_object(name, menu_path), MENU)

    @staticmethod
    def rows(menu):
        return len(menu.GetLayout(0, -1, dbus.Array([], signature="s"))[1][2])

    @staticmethod
    def open_once(menu):
        """One opening as a panel makes it: the milliseconds of AboutToShow
        and of the GetLayout that follows it."""
        start = time.perf_counter()
        menu.AboutToShow(0)
        shown = time.perf_counter()
        menu.GetLayout(0, -1, dbus.Array([], signature="s"))
        laid_out = time.perf_counter()
        menu.Event(0, "closed", dbus.String("", variant_level=1), dbus.UInt32(0))
        return (shown - start) * 1000, (laid_out - shown) * 1000

    def median_opening(self, menu):
        """The medians of the whole opening, of its AboutToShow and of its
        GetLayout."""
        times = []
        for _ in range(OPENINGS):
            times.append(self.open_once(menu))
            time.sleep(0.05)
        return (statistics.median(a + b for a, b in times),
                statistics.median(a for a, _ in times), statistics.median(b for _, b in times))

    @staticmethod
    def median_call(call):
        """The median milliseconds of one call, over OPENINGS calls."""
        times = []
        for _ in range(OPENINGS):
            start = time.perf_counter()
            call()
            times.append((time.perf_counter() - start) * 1000)
            time.sleep(0.01)
        return statistics.median(times)

    def split(self, menu, opening):
        """Where an opening's time goes: the bare round trip of a call that
        does nothing, AboutToShow and GetLayout as the opening timed them
        (for the monitor AboutToShow holds its scan and rebuild; GetLayout
        holds building, sending and unpacking the layout), and the Event
        reply."""
        version = dbus.Interface(menu, dbus.PROPERTIES_IFACE)
        bare = self.median_call(lambda: version.Get(MENU, "Version"))
        event = self.median_call(
            lambda: menu.Event(0, "hovered", dbus.String("", variant_level=1), dbus.UInt32(0)))
        return bare, opening[1], opening[2], event


def resident_kib(pid):
    for line in open("/proc/%d/status" % pid):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def make_installation(root, count, server):
    home = os.path.join(root, "installation-%d" % count)
    os.makedirs(os.path.join(home, "bin"))
    os.symlink(server, os.path.join(home, "bin", "kestrond"))
    directories = []
    for i in range(count):
        name = "database" if i == 0 else "instance-%04d" % i
        directory = os.path.join(home, name)
        os.makedirs(directory)
        open(os.path.join(directory, "kestrond.ini"), "w").close()
        directories.append(directory)
    return home, directories


def start_servers(home, directories):
    servers = [subprocess.Popen([os.path.join(home, "bin", "kestrond")], cwd=directory,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
               for directory in directories]
    for directory in directories:
        wait_until("a stand-in's lock file",
                   lambda: os.path.exists(os.path.join(directory, "kestrond.lck")), 30)
    return servers


def stop(processes):
    for process in processes:
        process.send_signal(signal.SIGTERM)
    for process in processes:
        process.wait()


def main():
    monitor, server, minimal = (os.path.abspath(path) for path in sys.argv[1:4])
    dbus.mainloop.glib.threads_init()
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    service_bus = dbus.SessionBus()
    watcher = Watcher(service_bus)
    _name = dbus.service.BusName(WATCHER, service_bus)
    threading.Thread(target=GLib.MainLoop().run, daemon=True).start()
    client = Client(watcher)
    root = tempfile.mkdtemp(prefix="kestrond-menu-figures-")

    figures = []
    for count in (10, 100, 1000):
        home, directories = make_installation(root, count, server)
        servers = start_servers(home, directories[::2])
        environment = dict(os.environ, KESTROND_HOME=home)
        process = subprocess.Popen([monitor], env=environment, stderr=subprocess.DEVNULL)
        menu = client.menu_of(process.pid)
        rows = client.rows(menu)
        ours = client.median_opening(menu)
        our_split = client.split(menu, ours)
        our_memory = resident_kib(process.pid)
        menu.AboutToShow(0)
        menu.GetLayout(0, -1, dbus.Array([], signature="s"))
        before = cpu_seconds(process.pid)
        time.sleep(5)
        busy = (cpu_seconds(process.pid) - before) / 5 * 100
        menu.Event(0, "closed", dbus.String("", variant_level=1), dbus.UInt32(0))
        stop([process])
        stop(servers)

        yardstick = subprocess.Popen([minimal, str(rows)], stderr=subprocess.DEVNULL)
        their_menu = client.menu_of(yardstick.pid)
        theirs = client.median_opening(their_menu)
        their_split = client.split(their_menu, theirs)
        their_memory = resident_kib(yardstick.pid)
        stop([yardstick])
        figures.append((count, rows, ours[0], theirs[0], busy, our_split, their_split, our_memory,
                        their_memory))

    print("| instances (half running) | rows | monitor | minimal Qt tray | ratio "
          "| monitor CPU while open |")
    print("|---|---|---|---|---|---|")
    for count, rows, ours, theirs, busy, *_ in figures:
        print("| %d | %d | %.1f ms | %.1f ms | %.2f x | %.1f %% of a core |" % (
            count, rows, ours, theirs, ours / theirs, busy))
    print()
    print("| instances | program | bare round trip | AboutToShow | GetLayout "
          "| Event reply | resident memory |")
    print("|---|---|---|---|---|---|---|")
    for count, _, _, _, _, our_split, their_split, our_memory, their_memory in figures:
        for name, split, memory in (("monitor", our_split, our_memory),
                                    ("minimal Qt tray", their_split, their_memory)):
            print("| %d | %s | %.2f ms | %.2f ms | %.2f ms | %.2f ms | %d KiB |" % (
                (count, name) + split + (memory,)))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
    # Straight out: dbus-python's service thread does not survive the
    # interpreter's own shutdown.
    os._exit(0)
