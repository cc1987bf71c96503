#!/usr/bin/python3
"""End to end through the D-Bus tray: a stand-in panel on the session bus.

It registers as the StatusNotifierWatcher with a host, receives the real
monitor's item, reads its menu with com.canonical.dbusmenu and plays the
panel's part (AboutToShow, "clicked", "closed"); alerts are answered with key
presses. Run inside tests/e2e/session.sh --dbus, with the monitor and the
stand-in server as arguments.
"""
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

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"
INTROSPECTION = """<!DOCTYPE node PUBLIC "-//freedesktop//DTD D-BUS Object Introspection 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd">
<node>
 <interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
  <signal name="StatusNotifierHostRegistered"/>
 </interface>
 <interface name="org.freedesktop.DBus.Properties">
  <method name="Get"><arg type="s" direction="in"/><arg type="s" direction="in"/>
   <arg type="v" direction="out"/></method>
  <method name="GetAll"><arg type="s" direction="in"/><arg type="a{sv}" direction="out"/></method>
 </interface>
 <interface name="org.freedesktop.DBus.Introspectable">
  <method name="Introspect"><arg type="s" direction="out"/></method>
 </interface>
</node>"""

DEADLINE_SECONDS = 20


class Watcher(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/StatusNotifierWatcher")
        self.items = []
        self.registered = threading.Event()

    @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        if service.startswith("/"):
            self.items.append((sender, service))
        else:
            self.items.append((service, "/StatusNotifierItem"))
        self.StatusNotifierItemRegistered(service)
        self.registered.set()

    @dbus.service.method(WATCHER, in_signature="s")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemRegistered(self, service):
        pass

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {
            "RegisteredStatusNotifierItems": dbus.Array(
                [name + path for name, path in self.items], signature="s"),
            "IsStatusNotifierHostRegistered": dbus.Boolean(True),
            "ProtocolVersion": dbus.Int32(0),
        }

    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s")
    def Introspect(self):
        return INTROSPECTION


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def wait_until(what, condition, seconds=DEADLINE_SECONDS):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


def shown(label):
    """The text a panel shows for a dbusmenu label: "_x" marks a mnemonic,
    "__" is a literal underscore."""
    text, i = "", 0
    while i < len(label):
        if label[i] == "_" and i + 1 < len(label):
            text += label[i + 1]
            i += 2
        else:
            text += label[i]
            i += 1
    return text


class Panel:
    """The panel's view of the monitor's menu."""

    def __init__(self, bus, name, path):
        item = bus.get_object(name, path)
        self.properties = dbus.Interface(item, dbus.PROPERTIES_IFACE)
        menu_path = self.properties.Get(ITEM, "Menu")
        self.menu = dbus.Interface(bus.get_object(name, menu_path), MENU)

    def tool_tip(self):
        return str(self.properties.Get(ITEM, "ToolTip")[2])

    def rows(self):
        _, (_, _, children) = self.menu.GetLayout(0, -1, dbus.Array([], signature="s"))
        rows = []
        for child in children:
            ident, props, _ = child
            if props.get("type") == "separator":
                rows.append((int(ident), "-", False, None))
            else:
                toggle = props.get("toggle-state")
                rows.append((int(ident), shown(str(props.get("label", ""))),
                             bool(props.get("enabled", True)),
                             None if toggle is None else int(toggle)))
        return rows

    def shortcut(self, title):
        _, (_, _, children) = self.menu.GetLayout(0, -1, dbus.Array([], signature="s"))
        for ident, props, _ in children:
            if shown(str(props.get("label", ""))) == title:
                return [[str(key) for key in keys] for keys in props.get("shortcut", [])]
        return None

    def titles(self):
        return [row[1] for row in self.rows()]

    def open(self):
        self.menu.AboutToShow(0)
        return self.rows()

    def close(self):
        self.menu.Event(0, "closed", dbus.Int32(0), dbus.UInt32(0))

    def click(self, title, then_close=True):
        for ident, label, enabled, _ in self.rows():
            if label == title:
                check(enabled, title + " is disabled")
                self.menu.Event(ident, "clicked", dbus.Int32(0), dbus.UInt32(0))
                if then_close:
                    self.close()
                return
        raise AssertionError("no item " + title + " in " + repr(self.titles()))


def answer_alert(key):
    window = subprocess.run(
        ["timeout", "15", "xdotool", "search", "--sync", "--onlyvisible", "--name",
         "^Kestrond Monitor$"], capture_output=True, text=True, check=True).stdout.split()[0]
    subprocess.run(["xdotool", "windowfocus", "--sync", window], check=True)
    subprocess.run(["xdotool", "key", "--clearmodifiers", key], check=True)
    wait_until("the alert to close", lambda: subprocess.run(
        ["xdotool", "search", "--onlyvisible", "--name", "^Kestrond Monitor$"],
        capture_output=True).returncode != 0)


def make_installation(root, server):
    home = os.path.join(root, "installation")
    # "r&d" and "my_db": titles show "&" and "_" as they are, not as mnemonics.
    for name, ini in (("database", "[standin]\nlock_delay_ms = 1200\n"), ("my_db", ""),
                      ("r&d", "")):
        os.makedirs(os.path.join(home, name))
        with open(os.path.join(home, name, "kestrond.ini"), "w") as f:
            f.write(ini)
    os.makedirs(os.path.join(home, "bin"))
    # With a "lib", the monitor puts it on its own LD_LIBRARY_PATH; what it
    # opens must not inherit that.
    os.makedirs(os.path.join(home, "lib"))
    os.symlink(server, os.path.join(home, "bin", "kestrond"))
    return home


def kill_servers(home, names):
    """Kills the server each named instance's lock file names, if any."""
    for name in names:
        try:
            with open(os.path.join(home, name, "kestrond.lck")) as f:
                os.kill(int(f.read()), 9)
        except (OSError, ValueError):
            pass


def fake_opener(root):
    """An xdg-open that records what it was asked to open."""
    directory = os.path.join(root, "opener")
    os.makedirs(directory)
    record = os.path.join(root, "opened.txt")
    script = os.path.join(directory, "xdg-open")
    with open(script, "w") as f:
        f.write('#!/bin/sh\nprintf "%%s|%%s\\n" "$1" "${LD_LIBRARY_PATH-unset}" >> "%s"\n' % record)
    os.chmod(script, 0o755)
    return directory, record


def main():
    monitor, server = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    dbus.mainloop.glib.threads_init()
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    service_bus = dbus.SessionBus()
    watcher = Watcher(service_bus)
    name = dbus.service.BusName(WATCHER, service_bus)
    loop = GLib.MainLoop()
    threading.Thread(target=loop.run, daemon=True).start()
    client = dbus.bus.BusConnection(os.environ["DBUS_SESSION_BUS_ADDRESS"])

    root = tempfile.mkdtemp(prefix="kestrond-e2e-")
    home = make_installation(root, server)
    opener_dir, opened = fake_opener(root)
    environment = dict(os.environ, KESTROND_HOME=home,
                       PATH=opener_dir + ":" + os.environ.get("PATH", "/usr/bin:/bin"))
    environment.pop("LD_LIBRARY_PATH", None)
    process = subprocess.Popen([monitor], env=environment)
    server_pid = None
    try:
        check(watcher.registered.wait(DEADLINE_SECONDS), "the monitor registered no item")
        panel = Panel(client, *watcher.items[0])
        check(panel.tool_tip() == "Halvorix Kestrond", "tool tip: " + panel.tool_tip())

        expected = [("Start Default Instance", True, None), ("Start Instance 'my_db'", True, None),
                    ("Start Instance 'r&d'", True, None),
                    ("-", False, None), ("Open Diagnostic Messages", False, None),
                    ("Open Kestrond Tessaline", False, None),
                    ("View Online Documentation", True, None), ("-", False, None),
                    ("Start Kestrond Monitor at Login", True, None),
                    ("Quit Kestrond Monitor", True, None)]
        # A panel that fetches the layout before any AboutToShow gets it whole.
        wait_until("the menu before any opening",
                   lambda: [row[1:] for row in panel.rows()] == expected)

        # While closed, a server started elsewhere and its death reach the
        # layout without an opening.
        sleeper = subprocess.Popen(["sleep", "60"])
        lock = os.path.join(home, "my_db", "kestrond.lck")
        with open(lock, "w") as f:
            f.write("%d\n" % sleeper.pid)
        wait_until("the closed menu to show the server",
                   lambda: "Stop Instance 'my_db'" in panel.titles())
        sleeper.kill()
        sleeper.wait()
        wait_until("the closed menu to show its end",
                   lambda: "Start Instance 'my_db'" in panel.titles())
        os.unlink(lock)

        rows = panel.open()
        check([row[1:] for row in rows] == expected, "first layout: " + repr(rows))
        ids = [row[0] for row in rows]
        check(panel.shortcut("Quit Kestrond Monitor") == [["Control", "Q"]],
              "Quit shortcut: %r" % panel.shortcut("Quit Kestrond Monitor"))

        # Start, confirmed with Return; Starting, then Running, while the menu is open.
        panel.click("Start Default Instance")
        answer_alert("Return")
        panel.open()
        seen = set()
        try:
            wait_until("Running", lambda: seen.add(panel.titles()[0]) or
                       "Stop Default Instance" in seen)
        except AssertionError:
            raise AssertionError("never Running; saw %r; %r" % (sorted(seen), os.listdir(os.path.join(home, "database"))))
        check("Default Instance: Starting" in seen, "never saw Starting: " + repr(seen))
        check([row[0] for row in panel.rows()] == ids, "the menu items were recreated")
        panel.close()
        with open(os.path.join(home, "database", "kestrond.lck")) as f:
            server_pid = int(f.read())

        rows = panel.open()
        check(rows[5][1:3] == ("Open Kestrond Tessaline", True), repr(rows))
        panel.click("Open Kestrond Tessaline")
        panel.open()
        panel.click("Open Diagnostic Messages")
        log_file = os.path.join(home, "database", "kestrond.log")
        wait_until("the opener", lambda: os.path.exists(opened) and
                   len(open(opened).read().splitlines()) == 2)
        # Two detached openers race: the order they finish in is no part of it.
        check(sorted(open(opened).read().splitlines()) ==
              sorted(["http://localhost:8890/tessaline/|unset", log_file + "|unset"]),
              "opened: " + open(opened).read())

        # Start at login, and back.
        entry = os.path.join(os.environ["XDG_CONFIG_HOME"], "autostart",
                             "kestrond-monitor.desktop")
        panel.open()
        panel.click("Start Kestrond Monitor at Login")
        wait_until("the autostart entry", lambda: os.path.exists(entry))
        check("Exec=" + os.path.realpath(monitor) in open(entry).read(), open(entry).read())
        rows = panel.open()
        check(rows[8][3] == 1, "no check mark: " + repr(rows))
        panel.click("Start Kestrond Monitor at Login")
        wait_until("the entry to go", lambda: not os.path.exists(entry))

        # Cancel with Escape changes nothing; Stop with Return stops.
        panel.open()
        panel.click("Stop Default Instance")
        answer_alert("Escape")
        check(panel.open()[0][1] == "Stop Default Instance", repr(panel.titles()))
        panel.click("Stop Default Instance")
        answer_alert("Return")
        panel.open()
        wait_until("Stopped", lambda: panel.titles()[0] == "Start Default Instance")
        panel.close()

        # Started again, then Quit: status 0, and the server keeps running.
        panel.open()
        panel.click("Start Default Instance")
        answer_alert("Return")
        lock = os.path.join(home, "database", "kestrond.lck")
        wait_until("the lock file", lambda: os.path.exists(lock))
        server_pid = int(open(lock).read())
        panel.open()
        panel.click("Quit Kestrond Monitor", then_close=False)
        status = process.wait(DEADLINE_SECONDS)
        check(status == 0, "exit status %d" % status)
        os.kill(server_pid, 0)
        print("dbus tray flow: 1 passed, 0 failed")
    finally:
        if process.poll() is None:
            process.kill()
        if server_pid:
            try:
                os.kill(server_pid, 9)
            except ProcessLookupError:
                pass
        kill_servers(home, ("database", "my_db", "r&d"))
        loop.quit()


if __name__ == "__main__":
    main()
