"""What the end-to-end tests share: waiting for a state, the stand-in
installation, a stand-in StatusNotifierWatcher and notification service, a panel's view of the
monitor's D-Bus menu, answering the confirmation with key presses, and a
recording xdg-open."""
import os
import subprocess
import sys
import tempfile
import threading
import time

import dbus
import dbus.mainloop
import dbus.service

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
    """Takes items in; with host=False it has no host until host_comes()."""

    def __init__(self, bus, host=True):
        super().__init__(bus, "/StatusNotifierWatcher")
        self.items = []
        self.host = host
        self.registered = threading.Event()

    def host_comes(self):
        self.host = True
        self.StatusNotifierHostRegistered()

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

    @dbus.service.signal(WATCHER)
    def StatusNotifierHostRegistered(self):
        pass

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {
            "RegisteredStatusNotifierItems": dbus.Array(
                [name + path for name, path in self.items], signature="s"),
            "IsStatusNotifierHostRegistered": dbus.Boolean(self.host),
            "ProtocolVersion": dbus.Int32(0),
        }

    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s")
    def Introspect(self):
        return INTROSPECTION


NOTIFICATIONS = "org.freedesktop.Notifications"


class Notifications(dbus.service.Object):
    """Records what it is asked to show; ids as a real service gives them."""

    def __init__(self, bus, capabilities=("actions", "body")):
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.calls = []
        self.next_id = 1
        self.capabilities = list(capabilities)

    @dbus.service.method(NOTIFICATIONS, out_signature="as")
    def GetCapabilities(self):
        return self.capabilities

    @dbus.service.method(NOTIFICATIONS, out_signature="ssss")
    def GetServerInformation(self):
        return ("stand-in", "test", "1", "1.2")

    @dbus.service.method(NOTIFICATIONS, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app_name, replaces_id, app_icon, summary, body, actions, hints, timeout):
        ident = int(replaces_id) or self.next_id
        if not replaces_id:
            self.next_id += 1
        self.calls.append(dict(app_name=str(app_name), replaces_id=int(replaces_id),
                               app_icon=str(app_icon), summary=str(summary), body=str(body),
                               actions=[str(a) for a in actions], id=ident))
        return dbus.UInt32(ident)

    @dbus.service.method(NOTIFICATIONS, in_signature="u")
    def CloseNotification(self, ident):
        self.NotificationClosed(ident, 3)

    @dbus.service.signal(NOTIFICATIONS, signature="us")
    def ActionInvoked(self, ident, key):
        pass

    @dbus.service.signal(NOTIFICATIONS, signature="uu")
    def NotificationClosed(self, ident, reason):
        pass


BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>%s</type>
  <listen>%s</listen>
  <auth>EXTERNAL</auth>
  <policy context="default"><allow user="*"/><allow own="*"/>
    <allow send_destination="*"/><allow receive_sender="*"/></policy>
</busconfig>
"""


def bus_config(kind, listen):
    """A private bus's configuration: everything allowed, nothing to start
    on demand. kind: "session" or "system"; listen: a D-Bus address."""
    return BUS_CONFIG % (kind, listen)


def start_empty_bus(directory, log_path):
    """A session bus with nothing on it and nothing to start on demand (a
    notification would otherwise start whatever desktop's service is
    installed: Plasma's waits a minute for a shell that never comes), as
    dbus-launch makes one. Returns the dbus-daemon process and the address."""
    address_file = os.path.join(directory, "empty-bus")
    config = os.path.join(directory, "empty-bus.conf")
    with open(config, "w") as f:
        f.write(bus_config("session", "unix:tmpdir=" + directory))
    with open(address_file, "w") as out, open(log_path, "w") as log:
        process = subprocess.Popen(
            ["dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile",
             "--print-address=1"], stdout=out, stderr=log)
    wait_until("the empty bus", lambda: os.path.getsize(address_file) > 0)
    return process, open(address_file).readline().strip()


def client_connection(address):
    """A connection for blocking calls alone, as a panel makes them: on no
    main loop, so that making it while another thread runs the GLib loop
    does not race that loop for the connection's watches (libdbus aborts
    on that: "watch != NULL")."""
    return dbus.bus.BusConnection(address, mainloop=dbus.mainloop.NULL_MAIN_LOOP)


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def wait_until(what, condition, seconds=DEADLINE_SECONDS, tolerate=()):
    """Polls condition until it is true (returned) or seconds pass (an
    AssertionError); exceptions of the types in tolerate count as false."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            value = condition()
            if value:
                return value
        except tolerate:
            pass
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


def spin_until(what, condition, seconds=DEADLINE_SECONDS):
    """wait_until for a test that serves D-Bus on this thread: runs the GLib
    main loop while it polls."""
    from gi.repository import GLib
    context = GLib.MainContext.default()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        while context.pending():
            context.iteration(False)
        value = condition()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


def spin_for(seconds):
    """Runs the GLib main loop for a while."""
    from gi.repository import GLib
    context = GLib.MainContext.default()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        while context.pending():
            context.iteration(False)
        time.sleep(0.01)


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


WEDGED_WATCHER = r'''
import dbus, sys
bus = dbus.bus.BusConnection(sys.argv[1])
bus.request_name("org.kde.StatusNotifierWatcher")
print("owned", flush=True)
sys.stdin.read()  # no main loop: nothing is ever answered, until the test ends
'''


def start_wedged_watcher():
    """A process that owns the watcher's name and never reads a message, as
    a panel does that is starting up or wedged. End it with end_all."""
    process = subprocess.Popen(
        [sys.executable, "-c", WEDGED_WATCHER, os.environ["DBUS_SESSION_BUS_ADDRESS"]],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    check(process.stdout.readline().strip() == "owned", "the wedged watcher owns the name")
    return process


def docked_icon():
    """The geometry (x, y, width, height) of the monitor's icon docked in the
    X11 tray, a small window of ours on screen; None while there is none."""
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--class", "kestrond-monitor"],
                           capture_output=True, text=True).stdout.split()
    for window in found:
        shell = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window],
                               capture_output=True, text=True).stdout
        values = dict(line.split("=", 1) for line in shell.split())
        if "WIDTH" not in values:
            continue  # gone meanwhile
        geometry = tuple(int(values[key]) for key in ("X", "Y", "WIDTH", "HEIGHT"))
        if geometry[2] <= 64 and geometry[3] <= 64:
            return geometry
    return None


def windows_of_ours():
    """Whether a window of the monitor's is on screen: its icon docked in
    the X11 tray, or its own menu."""
    return subprocess.run(["xdotool", "search", "--onlyvisible", "--class", "kestrond-monitor"],
                          capture_output=True).returncode == 0


def answer_alert(key):
    window = subprocess.run(
        ["timeout", "15", "xdotool", "search", "--sync", "--onlyvisible", "--name",
         "^Kestrond Monitor$"], capture_output=True, text=True, check=True).stdout.split()[0]
    subprocess.run(["xdotool", "windowfocus", "--sync", window], check=True)
    subprocess.run(["xdotool", "key", "--clearmodifiers", key], check=True)
    wait_until("the alert to close", lambda: subprocess.run(
        ["xdotool", "search", "--onlyvisible", "--name", "^Kestrond Monitor$"],
        capture_output=True).returncode != 0)


def start_from_menu(panel, title):
    """Opens the menu, chooses `title` and confirms the question."""
    panel.open()
    panel.click(title)
    answer_alert("Return")


def make_installation(root, server, instances, with_lib=False):
    """An installation under root: instance directories with the given
    kestrond.ini texts ({name: ini}), and bin/kestrond the stand-in server."""
    home = os.path.join(root, "installation")
    for name, ini in instances.items():
        make_instance(home, name, ini)
    os.makedirs(os.path.join(home, "bin"))
    if with_lib:
        os.makedirs(os.path.join(home, "lib"))
    os.symlink(server, os.path.join(home, "bin", "kestrond"))
    return home


def make_instance(home, name, ini=""):
    """An instance directory, made whole beside the installation and renamed
    into it, so that a monitor already watching sees it appear in one step."""
    os.makedirs(home, exist_ok=True)
    staging = tempfile.mkdtemp(prefix=".staging-", dir=os.path.dirname(os.path.abspath(home)))
    with open(os.path.join(staging, "kestrond.ini"), "w") as f:
        f.write(ini)
    os.chmod(staging, 0o755)
    os.rename(staging, os.path.join(home, name))


def sleeping_servers(home, names):
    """A sleeping process for each named instance, its pid in the lock file,
    as a server started from outside the monitor would leave it."""
    sleepers = {}
    for name in names:
        sleepers[name] = subprocess.Popen(["sleep", "300"])
        with open(os.path.join(home, name, "kestrond.lck"), "w") as f:
            f.write("%d\n" % sleepers[name].pid)
    return sleepers


def end_all(processes):
    for process in processes:
        if process.poll() is None:
            process.kill()
        process.wait()


def kill_servers(home, names):
    """Kills the server each named instance's lock file names, if any."""
    for name in names:
        try:
            with open(os.path.join(home, name, "kestrond.lck")) as f:
                os.kill(int(f.read()), 9)
        except (OSError, ValueError):
            pass


def fake_opener(root):
    """An xdg-open that records what it was asked to open, with the library
    path and the limit on open files it got: "target|path|limit" lines."""
    directory = os.path.join(root, "opener")
    os.makedirs(directory)
    record = os.path.join(root, "opened.txt")
    script = os.path.join(directory, "xdg-open")
    with open(script, "w") as f:
        f.write('#!/bin/sh\nprintf "%%s|%%s|%%s\\n" "$1" "${LD_LIBRARY_PATH-unset}" "$(ulimit -n)"'
                ' >> "%s"\n' % record)
    os.chmod(script, 0o755)
    return directory, record
