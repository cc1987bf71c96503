#!/usr/bin/env python3
"""The monitor on a real xfce4-panel, the way an XFCE user meets it.

Run inside tests/e2e/session.sh --dbus. Starts xfce4-panel with one top
panel holding its "Status Tray" plugin, starts the monitor, finds the icon
the panel drew (the pixels that changed in the bar), right-clicks it as an
XFCE user does, and reads the menu that opened back from the screen with
OCR: the first click must show "Start Default Instance". Then chooses "Quit
Kestrond Monitor" in that menu and expects exit status 0.

    xfce_panel_test.py MONITOR MODE ARTIFACTS    (MODE: sni, sni-left or xembed)

In "sni-left" mode the click is a left click, which this panel turns into a
bare Activate: the monitor opens its menu at the pointer itself. In "xembed" mode the monitor gets a second, empty session bus, finds no
StatusNotifierWatcher there and docks into the same plugin over XEmbed.
"""
import os
import signal
import subprocess
import sys
import tempfile
import time

import dbus

PANEL_CONFIG = """<?xml version="1.0" encoding="UTF-8"?>
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
    <property name="plugin-2" type="string" value="systray"/>
  </property>
</channel>
"""
BAR_HEIGHT = 32
# The tray sits at the right end of the bar, after the expanding separator
# (which itself repaints while the panel settles).
TRAY_LEFT = 824
WATCHER = "org.kde.StatusNotifierWatcher"


def wait_until(what, condition, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            if condition():
                return
        except dbus.DBusException:
            pass
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


def screenshot(path):
    subprocess.run(["import", "-window", "root", path], check=True)


def changed_box(before, after, top, height, left=0):
    """The bounding box (x, y, w, h) of what changed in a band of the screen."""
    out = subprocess.run(
        ["convert", before, after, "-compose", "difference", "-composite",
         "-crop", "%dx%d+%d+%d" % (1024 - left, height, left, top), "+repage",
         "-colorspace", "gray",
         "-threshold", "8%", "-format", "%@", "info:"],
        check=True, capture_output=True, text=True).stdout.strip()
    size, x, y = out.split("+")
    w, h = size.split("x")
    return int(x) + left, int(y) + top, int(w), int(h)


def read_text(image, box, artifacts, name):
    """OCR of a part of the screen, enlarged; returns (text, word boxes)."""
    x, y, w, h = box
    crop = os.path.join(artifacts, name + ".png")
    subprocess.run(["convert", image, "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage",
                    "-resize", "300%", crop], check=True)
    tsv = subprocess.run(["tesseract", crop, "-", "tsv"], capture_output=True, text=True).stdout
    words = []
    for line in tsv.splitlines()[1:]:
        fields = line.split("\t")
        if len(fields) == 12 and fields[11].strip():
            left, top_, width, height = (int(v) for v in fields[6:10])
            words.append((fields[11].strip(), x + (left + width // 2) // 3, y + (top_ + height // 2) // 3))
    return " ".join(word for word, _, _ in words), words


def main():
    monitor, mode, artifacts = sys.argv[1], sys.argv[2], sys.argv[3]
    os.makedirs(artifacts, exist_ok=True)
    scratch = os.environ["KESTROND_SESSION_SCRATCH"]
    config = os.path.join(os.environ["XDG_CONFIG_HOME"], "xfce4", "xfconf",
                          "xfce-perchannel-xml")
    os.makedirs(config)
    with open(os.path.join(config, "xfce4-panel.xml"), "w") as f:
        f.write(PANEL_CONFIG)
    home = os.path.join(scratch, "installation")
    os.makedirs(os.path.join(home, "database"))
    open(os.path.join(home, "database", "kestrond.ini"), "w").close()

    children = []
    try:
        panel_env = dict(os.environ, XDG_CURRENT_DESKTOP="XFCE", XDG_SESSION_TYPE="x11")
        panel_log = open(os.path.join(artifacts, "panel.log"), "w")
        children.append(subprocess.Popen(
            ["xfce4-panel", "--disable-wm-check", "--sm-client-disable"],
            env=panel_env, stdout=panel_log, stderr=panel_log, start_new_session=True))
        bus = dbus.SessionBus()

        def host_registered():
            watcher = bus.get_object(WATCHER, "/StatusNotifierWatcher")
            return watcher.Get(WATCHER, "IsStatusNotifierHostRegistered",
                               dbus_interface="org.freedesktop.DBus.Properties")
        wait_until("the panel's status tray", host_registered)
        time.sleep(1.5)  # let it paint
        before = os.path.join(artifacts, "1-panel.png")
        screenshot(before)

        monitor_env = dict(os.environ, KESTROND_HOME=home)
        if mode == "xembed":
            address_file = os.path.join(scratch, "empty-bus")
            with open(address_file, "w") as out:
                children.append(subprocess.Popen(
                    ["dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"],
                    stdout=out))
            wait_until("the empty bus", lambda: os.path.getsize(address_file) > 0)
            monitor_env["DBUS_SESSION_BUS_ADDRESS"] = open(address_file).readline().strip()
        monitor_log = open(os.path.join(artifacts, "monitor.log"), "w")
        process = subprocess.Popen([monitor], env=monitor_env, stderr=monitor_log)
        children.append(process)

        after = os.path.join(artifacts, "2-panel-with-icon.png")

        def icon_drawn():
            screenshot(after)
            _, _, w, h = changed_box(before, after, 0, BAR_HEIGHT, TRAY_LEFT)
            return 8 <= w <= 40 and 8 <= h <= BAR_HEIGHT
        wait_until("the monitor's icon in the bar", icon_drawn)
        time.sleep(0.5)
        screenshot(after)
        x, y, w, h = changed_box(before, after, 0, BAR_HEIGHT, TRAY_LEFT)
        subprocess.run(["xdotool", "mousemove", str(x + w // 2), str(y + h // 2), "sleep", "0.2",
                        "click", "1" if mode == "sni-left" else "3"], check=True)
        time.sleep(1.5)
        shown = os.path.join(artifacts, "3-first-click.png")
        screenshot(shown)
        # The menu: what changed with the click (a Qt menu may overlap the bar).
        menu_box = changed_box(after, shown, 0, 500)
        text, words = read_text(shown, menu_box, artifacts, "3-menu-text")
        if "Start Default Instance" not in text:
            print("FAILED (%s): the first click showed no menu of ours; read: %r" % (mode, text))
            return 1
        quit_word = [word for word in words if word[0] == "Quit"]
        if not quit_word:
            print("FAILED (%s): no Quit entry read: %r" % (mode, text))
            return 1
        _, qx, qy = quit_word[0]
        subprocess.run(["xdotool", "mousemove", str(qx), str(qy), "sleep", "0.2", "click", "1"],
                       check=True)
        try:
            status = process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            print("FAILED (%s): Quit from the panel's menu did not end the monitor" % mode)
            return 1
        if status != 0:
            print("FAILED (%s): the monitor exited with status %d" % (mode, status))
            return 1
        print("xfce4-panel over %s: first click showed the menu; Quit ended the monitor" % mode)
        print("xfce panel (%s): 1 passed, 0 failed" % mode)
        return 0
    finally:
        for child in reversed(children):
            try:
                os.killpg(child.pid, signal.SIGTERM) if child.args[0] == "xfce4-panel" \
                    else child.terminate()
            except ProcessLookupError:
                pass
        for child in children:
            try:
                child.wait(timeout=5)
            except subprocess.TimeoutExpired:
                child.kill()


if __name__ == "__main__":
    sys.exit(main())
