#!/usr/bin/env python3
"""The monitor on a real desktop panel, the way that desktop's user meets it.

Run inside tests/e2e/session.sh --dbus. Starts the panel with its own HOME
and session bus, starts the monitor on an installation whose default
instance runs the stand-in server, finds the icon the panel drew (the pixels
that changed in the bar) and clicks it the way that panel opens menus. The
menu that opens is read back from the screen with OCR, so a panel that shows
its own menu, a tool tip or an empty popup fails:
  1. the first click shows "Start Default Instance"; choosing it starts the
     server;
  2. the next click shows "Stop Default Instance" (the closed menu followed
     the server); choosing it stops the server;
  3. with two servers running (bravo, charlie) and a new instance sorting
     ahead of them (alpha), the "Stop Instance 'charlie'" chosen stops
     charlie and leaves bravo running;
  4. the next click shows "Start Default Instance" again, and choosing "Quit
     Kestrond Monitor" ends the monitor with status 0.

    panel_test.py MONITOR SERVER PANEL ARTIFACTS

PANEL:
  xfce-sni       xfce4-panel's Status Tray over StatusNotifierItem, right click
  xfce-sni-left  the same, left click (a bare Activate: the monitor opens its
                 menu at the pointer)
  xfce-xembed    the same plugin over XEmbed (the monitor is given an empty
                 session bus, finds no StatusNotifierWatcher and docks)
  xfce-sntray    xfce4-panel's sntray plugin, left click
  lxqt           lxqt-panel's statusnotifier plugin, right click
  waybar         waybar's tray on headless sway (Wayland), right click, with
                 wayvnc's virtual pointer
  gnome          gnome-shell (X11) with the AppIndicator extension, left click
  plasma         KDE Plasma's system tray (plasmashell, kded5's watcher; X11),
                 right click
"""
import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import dbus

import e2e_support
from e2e_support import (bus_config, end_all, make_installation, make_instance, sleeping_servers,
                         start_empty_bus)
from rfb_pointer import RfbPointer

WIDTH, HEIGHT = 1024, 768
BAR_HEIGHT = 32
WATCHER = "org.kde.StatusNotifierWatcher"

XFCE_PANEL = """<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="32"/>
      <property name="icon-size" type="uint" value="24"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
        <value type="int" value="2"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="separator">
      <property name="expand" type="bool" value="true"/>
    </property>
    <property name="plugin-2" type="string" value="%s"/>
  </property>
</channel>
"""
LXQT_PANEL = """[General]
__userfile__=true
panels=panel1

[panel1]
plugins=spacer,statusnotifier
position=Top
desktop=0
panelSize=32
iconSize=24
lineCount=1
width=100
width-percent=true
alignment=0
hidable=false

[spacer]
type=spacer
expandable=true

[statusnotifier]
alignment=Right
type=statusnotifier
"""
WAYBAR_CONFIG = """{
  "layer": "top", "position": "top", "height": 32,
  "modules-right": ["tray"],
  "tray": {"icon-size": 24, "spacing": 6}
}
"""
WAYBAR_STYLE = """* { font-family: "DejaVu Sans"; font-size: 13px; }
window#waybar { background: #f0f0f0; color: #202020; }
"""
# One top panel: a spacer, then the system tray, whose own containment (4)
# has none of the built-in tray applets (all of them "known", none "extra"),
# so that only StatusNotifierItems show. Written before plasmashell starts,
# so that it skips its default layout (whose applets need plasma-desktop).
PLASMA_APPLETS = """[Containments][1]
activityId=
formfactor=2
immutability=1
lastScreen=0
location=3
plugin=org.kde.panel
wallpaperplugin=org.kde.image

[Containments][1][General]
AppletOrder=2;3

[Containments][1][Applets][2]
immutability=1
plugin=org.kde.plasma.panelspacer

[Containments][1][Applets][3]
immutability=1
plugin=org.kde.plasma.systemtray

[Containments][1][Applets][3][Configuration]
SystrayContainmentId=4

[Containments][4]
activityId=
formfactor=2
immutability=1
lastScreen=0
location=3
plugin=org.kde.plasma.private.systemtray

[Containments][4][General]
extraItems=
knownItems=org.kde.plasma.battery,org.kde.plasma.clipboard,org.kde.plasma.devicenotifier,\
org.kde.plasma.keyboardlayout,org.kde.plasma.manage-inputmethod,org.kde.plasma.mediacontroller,\
org.kde.plasma.notifications,touchpad
"""
PLASMA_SHELL = """[PlasmaViews][Panel 1]
floating=0

[PlasmaViews][Panel 1][Defaults]
thickness=32
"""
def wait_until(what, condition, seconds=30):
    # A panel that is still starting answers with errors meanwhile.
    e2e_support.wait_until(what, condition, seconds,
                           (dbus.DBusException, OSError, subprocess.CalledProcessError))


class X11Screen:
    def shoot(self, path):
        subprocess.run(["import", "-window", "root", path], check=True)

    def click(self, x, y, button):
        subprocess.run(["xdotool", "mousemove", str(x), str(y), "sleep", "0.2",
                        "click", str(button)], check=True)

    def hover(self, x, y):
        subprocess.run(["xdotool", "mousemove", str(x), str(y)], check=True)


class WaylandScreen:
    """grim for the pixels, wayvnc's virtual pointer for the clicks."""

    def __init__(self, pointer):
        self.pointer = pointer

    def shoot(self, path):
        subprocess.run(["grim", path], check=True)

    def click(self, x, y, button):
        self.pointer.click(x, y, button)

    def hover(self, x, y):
        self.pointer.move(x, y)


class Session:
    """The panel and everything it needs; stops all of it again."""

    def __init__(self, artifacts, scratch):
        self.artifacts, self.scratch = artifacts, scratch
        self.children = []
        self.screen = X11Screen()
        self.monitor_env = {}
        self.button = 3
        self.tray_left = WIDTH // 2
        self.sway_dir = None

    def start(self, name, argv, env=None):
        log = open(os.path.join(self.artifacts, name + ".log"), "w")
        child = subprocess.Popen(argv, env=env or os.environ, stdout=log, stderr=log,
                                 start_new_session=True)
        self.children.append(child)
        return child

    def stop(self):
        for child in reversed(self.children):
            try:
                os.killpg(child.pid, signal.SIGTERM)
            except (ProcessLookupError, PermissionError):
                child.terminate()
        for child in self.children:
            try:
                child.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.killpg(child.pid, signal.SIGKILL)
                child.wait()
        if self.sway_dir:
            shutil.rmtree(self.sway_dir, ignore_errors=True)

    def config_file(self, relative, text):
        path = os.path.join(os.environ["XDG_CONFIG_HOME"], relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        return path

    def xfce(self, plugin):
        self.config_file("xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml", XFCE_PANEL % plugin)
        env = dict(os.environ, XDG_CURRENT_DESKTOP="XFCE", XDG_SESSION_TYPE="x11")
        self.start("panel", ["xfce4-panel", "--disable-wm-check", "--sm-client-disable"], env)
        # The tray sits at the right end, after the expanding separator, which
        # itself repaints while the panel settles.
        self.tray_left = WIDTH - 200

    def lxqt(self):
        # Without a theme the panel is drawn black on black.
        self.config_file("lxqt/lxqt.conf", "[General]\ntheme=light\nicon_theme=Adwaita\n")
        self.config_file("lxqt/panel.conf", LXQT_PANEL)
        env = dict(os.environ, XDG_CURRENT_DESKTOP="LXQt", XDG_SESSION_TYPE="x11",
                   QT_QPA_PLATFORM="xcb")
        self.start("panel", ["lxqt-panel"], env)
        self.tray_left = WIDTH - 200

    def gnome(self):
        system_bus = os.path.join(self.scratch, "system_bus")
        config = os.path.join(self.scratch, "system-bus.conf")
        with open(config, "w") as f:
            f.write(bus_config("system", "unix:path=" + system_bus))
        # The shell will not run without a system bus (its login manager
        # proxy); it gets an empty private one, not the machine's.
        self.start("system-bus", ["dbus-daemon", "--config-file=" + config, "--nofork",
                                  "--nopidfile"])
        wait_until("the private system bus", lambda: os.path.exists(system_bus))
        os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + system_bus
        for key, value in (("/org/gnome/shell/enabled-extensions",
                            "['ubuntu-appindicators@ubuntu.com']"),
                           ("/org/gnome/shell/welcome-dialog-last-shown-version", "'999'"),
                           ("/org/gnome/desktop/screensaver/lock-enabled", "false"),
                           ("/org/gnome/desktop/notifications/show-banners", "false")):
            subprocess.run(["dconf", "write", key, value], check=True)
        env = dict(os.environ, XDG_CURRENT_DESKTOP="GNOME", XDG_SESSION_TYPE="x11",
                   XDG_SESSION_DESKTOP="gnome")
        self.start("panel", ["gnome-shell", "--x11", "--replace", "--sm-disable"], env)
        self.button = 1
        self.tray_left = WIDTH // 2 + 100

    def after_gnome_started(self):
        time.sleep(3)
        subprocess.run(["xdotool", "key", "Escape"], check=True)  # it starts in the overview

    def waybar(self):
        # sway will not run as root: the compositor runs as nobody, in a
        # runtime directory of its own; root's clients reach it by path.
        self.sway_dir = tempfile.mkdtemp(prefix="kestrond-sway-")
        runtime = os.path.join(self.sway_dir, "run")
        os.makedirs(runtime, mode=0o700)
        drop = []
        if os.getuid() == 0:
            nobody = pwd.getpwnam("nobody")
            os.chmod(self.sway_dir, 0o755)
            os.chown(runtime, nobody.pw_uid, nobody.pw_gid)
            drop = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
        config = os.path.join(self.sway_dir, "sway.conf")
        with open(config, "w") as f:
            f.write("output HEADLESS-1 mode %dx%d bg #203040 solid_color\n" % (WIDTH, HEIGHT))
            f.write("default_border none\n")
        os.chmod(config, 0o644)
        self.start("sway", drop + [
            "env", "-i", "PATH=/usr/bin:/bin", "HOME=" + self.sway_dir,
            "XDG_RUNTIME_DIR=" + runtime, "WLR_BACKENDS=headless",
            "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman", "sway", "-c", config])
        socket = os.path.join(runtime, "wayland-1")
        wait_until("sway's Wayland socket", lambda: os.path.exists(socket))
        os.environ["WAYLAND_DISPLAY"] = socket
        waybar = os.path.join(os.environ["XDG_CONFIG_HOME"], "waybar")
        self.config_file("waybar/config", WAYBAR_CONFIG)
        self.config_file("waybar/style.css", WAYBAR_STYLE)
        env = dict(os.environ, XDG_CURRENT_DESKTOP="sway", XDG_SESSION_TYPE="wayland")
        env.pop("DISPLAY")
        self.start("panel", ["waybar", "-c", os.path.join(waybar, "config"),
                             "-s", os.path.join(waybar, "style.css")], env)
        vnc = os.path.join(self.sway_dir, "vnc.sock")
        self.start("wayvnc", ["wayvnc", "-u", "-o", "HEADLESS-1", vnc], env)
        self.screen = WaylandScreen(RfbPointer(vnc))
        self.monitor_env = {"QT_QPA_PLATFORM": "wayland", "XDG_SESSION_TYPE": "wayland"}
        self.tray_left = WIDTH - 200

    def plasma(self):
        """KDE Plasma's own system tray: plasmashell, with kded5's watcher."""
        self.config_file("plasma-org.kde.plasma.desktop-appletsrc", PLASMA_APPLETS)
        self.config_file("plasmashellrc", PLASMA_SHELL)
        env = dict(os.environ, XDG_CURRENT_DESKTOP="KDE", XDG_SESSION_DESKTOP="KDE",
                   DESKTOP_SESSION="plasma", XDG_SESSION_TYPE="x11", KDE_FULL_SESSION="true",
                   KDE_SESSION_VERSION="5", QT_QPA_PLATFORM="xcb")
        bus = dbus.SessionBus()
        # The watcher is a kded5 module, loaded at its start in a KDE session;
        # nothing else starts kded5.
        self.start("kded", ["kded5"], env)
        wait_until("kded5's StatusNotifierWatcher", lambda: bus.name_has_owner(WATCHER))
        # plasmashell gives up its shell while the activity manager it asked
        # for is still starting: it is started first.
        bus.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                          "StartServiceByName", "su", ("org.kde.ActivityManager", 0))
        wait_until("the activity manager", lambda: bus.name_has_owner("org.kde.ActivityManager"))
        shell = self.start("panel", ["plasmashell", "--no-respawn"], env)
        # kded5's watcher says a host is registered before any is: the
        # tray's own name tells.
        wait_until("plasmashell's system tray", lambda: bus.name_has_owner(
            "org.kde.StatusNotifierHost-%d" % shell.pid), 60)
        self.tray_left = WIDTH - 200

    def after_plasma_started(self):
        """The tray registers before the panel is drawn: waits for a still
        screen with the light bar at the top."""
        last = None
        for step in range(100):
            shot = os.path.join(self.scratch, "settling-%d.png" % (step % 2))
            self.screen.shoot(shot)
            bar = subprocess.run(["convert", shot, "-crop", "%dx%d+0+0" % (WIDTH, BAR_HEIGHT),
                                  "-colorspace", "gray", "-format", "%[fx:int(mean*100)]",
                                  "info:"], capture_output=True, text=True).stdout.strip()
            if last and bar.isdigit() and int(bar) > 50 and subprocess.run(
                    ["compare", "-metric", "AE", last, shot, "null:"],
                    capture_output=True, text=True).stderr.strip() == "0":
                return
            last = shot
            time.sleep(0.7)
        raise AssertionError("plasmashell drew no still panel")

    def empty_bus(self):
        """A session bus with no StatusNotifierWatcher on it (see start_empty_bus)."""
        process, address = start_empty_bus(self.scratch,
                                            os.path.join(self.artifacts, "empty-bus.log"))
        self.children.append(process)
        return address


def changed_box(before, after, top, height, left=0):
    """The bounding box (x, y, w, h) of what changed in a band of the screen."""
    out = subprocess.run(
        ["convert", before, after, "-compose", "difference", "-composite",
         "-crop", "%dx%d+%d+%d" % (WIDTH - left, height, left, top), "+repage",
         "-colorspace", "gray", "-threshold", "8%", "-format", "%@", "info:"],
        check=True, capture_output=True, text=True).stdout.strip()
    size, x, y = out.split("+")
    w, h = size.split("x")
    return int(x) + left, int(y) + top, int(w), int(h)


def read_words(image, box, crop):
    """OCR of a part of the screen, enlarged: [(word, x, y)] in screen pixels."""
    x, y, w, h = box
    subprocess.run(["convert", image, "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage",
                    "-resize", "300%", crop], check=True)
    tsv = subprocess.run(["tesseract", crop, "-", "tsv"], capture_output=True,
                         text=True).stdout
    words = []
    for line in tsv.splitlines()[1:]:
        fields = line.split("\t")
        if len(fields) == 12 and fields[11].strip():
            left, top, width, height = (int(v) for v in fields[6:10])
            words.append((fields[11].strip(), x + (left + width // 2) // 3,
                          y + (top + height // 2) // 3))
    return words


def find_entry(words, phrase):
    """Where the first word of phrase is, when the words hold it in order
    (quotes aside, which OCR reads in any of their forms)."""
    def plain(word):
        return word.strip("'\"`\u2018\u2019\u201c\u201d")
    wanted = [plain(word) for word in phrase.split()]
    texts = [plain(word) for word, _, _ in words]
    for i in range(len(texts) - len(wanted) + 1):
        if texts[i:i + len(wanted)] == wanted:
            return words[i][1], words[i][2]
    return None


def server_pid(home):
    try:
        pid = int(open(os.path.join(home, "database", "kestrond.lck")).read().split()[0])
        os.kill(pid, 0)
        return pid
    except (OSError, ValueError, IndexError):
        return None


def main():
    monitor, server, panel, artifacts = sys.argv[1:5]
    monitor, server = os.path.abspath(monitor), os.path.abspath(server)
    shutil.rmtree(artifacts, ignore_errors=True)
    os.makedirs(artifacts)
    scratch = os.environ["KESTROND_SESSION_SCRATCH"]
    session = Session(artifacts, scratch)
    try:
        if panel.startswith("xfce-"):
            session.xfce("sntray" if panel == "xfce-sntray" else "systray")
            session.button = 1 if panel in ("xfce-sni-left", "xfce-sntray") else 3
        elif panel == "lxqt":
            session.lxqt()
        elif panel == "gnome":
            session.gnome()
        elif panel == "waybar":
            session.waybar()
        elif panel == "plasma":
            session.plasma()
        else:
            print("unknown panel " + panel)
            return 2

        bus = dbus.SessionBus()

        def host_registered():
            watcher = bus.get_object(WATCHER, "/StatusNotifierWatcher")
            return watcher.Get(WATCHER, "IsStatusNotifierHostRegistered",
                               dbus_interface="org.freedesktop.DBus.Properties")
        wait_until("the panel's tray", host_registered, 60)
        if panel == "gnome":
            session.after_gnome_started()
        if panel == "plasma":
            session.after_plasma_started()
        time.sleep(1.5)  # let it paint
        screen = session.screen
        screen.hover(WIDTH // 2, HEIGHT - 10)  # out of the way of what is compared
        before = os.path.join(artifacts, "1-panel.png")
        screen.shoot(before)

        home = make_installation(scratch, server, {"database": ""})
        monitor_env = dict(os.environ, KESTROND_HOME=home, **session.monitor_env)
        if session.monitor_env.get("QT_QPA_PLATFORM") == "wayland":
            monitor_env.pop("DISPLAY")
        if panel == "xfce-xembed":
            monitor_env["DBUS_SESSION_BUS_ADDRESS"] = session.empty_bus()
        monitor_log = open(os.path.join(artifacts, "monitor.log"), "w")
        process = subprocess.Popen([monitor], env=monitor_env, stderr=monitor_log)
        session.children.append(process)

        with_icon = os.path.join(artifacts, "2-panel-with-icon.png")

        def icon_drawn():
            screen.shoot(with_icon)
            _, _, w, h = changed_box(before, with_icon, 0, BAR_HEIGHT, session.tray_left)
            return 8 <= w <= 40 and 8 <= h <= BAR_HEIGHT
        wait_until("the monitor's icon in the bar", icon_drawn)
        time.sleep(0.5)
        screen.shoot(with_icon)
        x, y, w, h = changed_box(before, with_icon, 0, BAR_HEIGHT, session.tray_left)
        icon = (x + w // 2, y + h // 2)

        def open_menu(step, expected):
            """Clicks the icon; returns the words of the menu that opened."""
            screen.hover(*icon)
            time.sleep(0.3)
            closed = os.path.join(artifacts, "%d-closed.png" % step)
            screen.shoot(closed)
            screen.click(icon[0], icon[1], session.button)
            time.sleep(1.5)
            shown = os.path.join(artifacts, "%d-menu.png" % step)
            screen.shoot(shown)
            # The menu is what changed with the click (it may overlap the bar).
            box = changed_box(closed, shown, 0, HEIGHT - 40)
            words = read_words(shown, box, os.path.join(artifacts, "%d-menu-text.png" % step))
            if not find_entry(words, expected):
                raise AssertionError("click %d showed no %r; read: %r" % (
                    step, expected, " ".join(word for word, _, _ in words)))
            return words

        def choose(words, entry):
            screen.click(*find_entry(words, entry), 1)

        def confirm(button):
            """Presses the button of the alert that asks before a start or stop."""
            asked = os.path.join(artifacts, "alert-%s.png" % button.lower())
            deadline = time.monotonic() + 15
            while True:
                time.sleep(0.5)
                screen.shoot(asked)
                words = read_words(asked, (0, BAR_HEIGHT, WIDTH, HEIGHT - BAR_HEIGHT),
                                   os.path.join(artifacts, "alert-text.png"))
                where = find_entry(words, button)
                if where:
                    break
                if time.monotonic() > deadline:
                    raise AssertionError("no alert with a %r button; read: %r" % (
                        button, " ".join(word for word, _, _ in words)))
            screen.click(where[0], where[1], 1)

        words = open_menu(3, "Start Default Instance")
        choose(words, "Start Default Instance")
        confirm("Start")
        wait_until("the server to start", lambda: server_pid(home))
        time.sleep(1)
        words = open_menu(4, "Stop Default Instance")
        choose(words, "Stop Default Instance")
        confirm("Stop")
        wait_until("the server to stop", lambda: server_pid(home) is None)
        time.sleep(1)
        # Two servers run, and a new instance sorts ahead of them while the
        # menu is closed: the rows the panel holds shift. The Stop chosen
        # for charlie stops charlie, not what moved to its place.
        make_instance(home, "bravo")
        make_instance(home, "charlie")
        sleepers = sleeping_servers(home, ("bravo", "charlie"))
        try:
            time.sleep(1.5)
            make_instance(home, "alpha")
            time.sleep(1.5)
            words = open_menu(5, "Stop Instance 'charlie'")
            choose(words, "Stop Instance 'charlie'")
            confirm("Stop")
            wait_until("charlie's server to stop", lambda: sleepers["charlie"].poll() is not None)
            if sleepers["bravo"].poll() is not None:
                raise AssertionError("the Stop chosen for charlie stopped bravo")
        finally:
            end_all(sleepers.values())
        time.sleep(1)
        words = open_menu(6, "Start Default Instance")
        choose(words, "Quit Kestrond Monitor")
        try:
            status = process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            raise AssertionError("Quit from the panel's menu did not end the monitor")
        if status != 0:
            raise AssertionError("the monitor exited with status %d" % status)
        print("%s: the first click showed the menu; Start, Stop, a Stop after the rows "
              "shifted and Quit worked" % panel)
        print("panel %s: 1 passed, 0 failed" % panel)
        return 0
    except AssertionError as failure:
        print("FAILED (%s): %s (screenshots in %s)" % (panel, failure, artifacts))
        return 1
    finally:
        session.stop()


if __name__ == "__main__":
    sys.exit(main())
