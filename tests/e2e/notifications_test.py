#!/usr/bin/python3
"""End to end through D-Bus: the monitor's notifications and its icon's mark.

A stand-in panel (the tray test's watcher) shows the real monitor's item; a
stand-in Notifications service on the session bus records every call. With
no service at first, a failed start shows nothing and logs one line; with
the service, a failed start and a crash are told, the action opens the log,
and a Stop from the menu and Quit tell nothing. The icon's pixels carry the
mark while a server runs. Run inside tests/e2e/session.sh --dbus, with the
monitor and the stand-in server as arguments.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

from e2e_support import (DEADLINE_SECONDS, ITEM, NOTIFICATIONS, WATCHER, Notifications, Panel,
                         Watcher, answer_alert, check, client_connection, end_all, fake_opener,
                         kill_servers, make_installation, make_instance, sleeping_servers,
                         start_from_menu, wait_until)

def green_pixels(properties):
    """Green pixels in the largest icon the item offers (ARGB32, big endian)."""
    pixmaps = properties.Get(ITEM, "IconPixmap")
    check(len(pixmaps) > 0, "the item offers no icon pixels")
    width, height, data = max(pixmaps, key=lambda p: int(p[0]) * int(p[1]))
    data = bytes(data)
    count = 0
    for i in range(0, len(data), 4):
        a, r, g, b = data[i], data[i + 1], data[i + 2], data[i + 3]
        if a > 200 and g > 150 and r < 120 and b < 120:
            count += 1
    return count


def main():
    monitor, server = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    dbus.mainloop.glib.threads_init()
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    service_bus = dbus.SessionBus()
    watcher = Watcher(service_bus)
    watcher_name = dbus.service.BusName(WATCHER, service_bus)  # noqa: F841 (released when dropped)
    notifications = Notifications(service_bus)
    loop = GLib.MainLoop()
    threading.Thread(target=loop.run, daemon=True).start()
    client = client_connection(os.environ["DBUS_SESSION_BUS_ADDRESS"])

    root = tempfile.mkdtemp(prefix="kestrond-notify-")
    # "l\xe4ter" is not UTF-8 (Latin-1's a-umlaut): its log must still open.
    later = os.fsdecode(b"l\xe4ter")
    home = make_installation(root, server, {"database": "",
                                            "early": "[standin]\nexit_status = 7\n",
                                            later: "[standin]\nexit_status = 7\n"})
    opener_dir, opened = fake_opener(root)
    environment = dict(os.environ, KESTROND_HOME=home, LANGUAGE="en",
                       PATH=opener_dir + ":" + os.environ.get("PATH", "/usr/bin:/bin"))
    log_path = os.path.join(root, "monitor.log")
    log = open(log_path, "w")
    process = subprocess.Popen([monitor], env=environment, stderr=log)
    try:
        check(watcher.registered.wait(DEADLINE_SECONDS), "the monitor registered no item")
        panel = Panel(client, *watcher.items[0])
        wait_until("the menu", lambda: "Start Default Instance" in panel.titles())
        check(green_pixels(panel.properties) == 0, "a mark with no server running")

        # No service on the bus: nothing is shown, one line says so, and the
        # monitor goes on.
        start_from_menu(panel, "Start Instance 'early'")
        wait_until("the line about the missing service", lambda: any(
            "No notification service answers" in line and "Instance 'early' did not start" in line
            for line in open(log_path, errors="replace")))
        check("Start Instance 'early'" in panel.titles(), repr(panel.titles()))

        service_name = dbus.service.BusName(NOTIFICATIONS, service_bus)  # noqa: F841
        start_from_menu(panel, "Start Instance 'l\\xE4ter'")
        wait_until("the failed start told", lambda: notifications.calls)
        failed = notifications.calls[0]
        check(failed["summary"] == "Instance 'l\\xE4ter' did not start", repr(failed))
        check(failed["body"] == "The server ended before it was running.", repr(failed))
        check(failed["app_name"] == "Kestrond Monitor", repr(failed))
        check(failed["app_icon"] == "kestrond-monitor", repr(failed))
        check(failed["actions"] == ["open", "Open Diagnostic Messages"], repr(failed))
        notifications.ActionInvoked(dbus.UInt32(failed["id"]), "open")
        # Handed over as a file URL, every byte of the path kept.
        later_log = os.fsencode(os.path.join(home, later, "kestrond.log"))
        wait_until("the opener", lambda: os.path.exists(opened) and open(opened).read())
        url = open(opened).read().split("|")[0]
        check(url.startswith("file://") and
              urllib.parse.unquote_to_bytes(url[len("file://"):]) == later_log,
              "opened %r for %r" % (url, later_log))

        # A running server shows the mark; its crash is told and clears it.
        start_from_menu(panel, "Start Default Instance")
        wait_until("the mark", lambda: green_pixels(panel.properties) > 0)
        lock = os.path.join(home, "database", "kestrond.lck")
        wait_until("the lock file", lambda: os.path.exists(lock) and open(lock).read().strip())
        os.kill(int(open(lock).read()), 9)
        wait_until("the crash told", lambda: len(notifications.calls) == 2)
        crash = notifications.calls[1]
        check(crash["summary"] == "Default Instance stopped unexpectedly", repr(crash))
        check(crash["replaces_id"] == 0, "another instance's notification replaced: %r" % crash)
        wait_until("the mark to go", lambda: green_pixels(panel.properties) == 0)

        # Two servers ending together are told in one notification, their
        # names in its body (the crash above is more than two seconds ago).
        for name in ("p&q", "x<y>"):
            make_instance(home, name)
        sleepers = sleeping_servers(home, ("p&q", "x<y>"))
        wait_until("both running", lambda: {"Stop Instance 'p&q'",
                                             "Stop Instance 'x<y>'"} <= set(panel.titles()))
        time.sleep(2.5)
        end_all(sleepers.values())
        wait_until("the endings told", lambda: notifications.calls[-1]["summary"] ==
                   "2 servers stopped unexpectedly")
        together = notifications.calls[-1]
        burst = notifications.calls[2:]
        check(all(call["id"] == burst[0]["id"] for call in burst),
              "more than one notification: %r" % burst)
        check(together["body"] == "Instance 'p&q'\nInstance 'x<y>'", repr(together))
        check(together["actions"] == [], repr(together))

        # The service is replaced (a restart): another program's
        # notifications take the numbers the old one gave. The next endings
        # (of two other servers: those above were told of within the minute)
        # replace none of them, and their body is escaped for the new
        # service, which reads markup.
        service_bus.release_name(NOTIFICATIONS)
        second_bus = dbus.bus.BusConnection(os.environ["DBUS_SESSION_BUS_ADDRESS"])
        replacement = Notifications(second_bus, ("actions", "body", "body-markup"))
        second_name = dbus.service.BusName(NOTIFICATIONS, second_bus)  # noqa: F841
        other = dbus.Interface(client.get_object(NOTIFICATIONS, "/org/freedesktop/Notifications"),
                               NOTIFICATIONS)
        while other.Notify("other", 0, "", "theirs", "", [], {}, -1) < together["id"]:
            pass
        for name in ("r&s", "u<v>"):
            make_instance(home, name)
        sleepers = sleeping_servers(home, ("r&s", "u<v>"))
        wait_until("both running", lambda: {"Stop Instance 'r&s'",
                                             "Stop Instance 'u<v>'"} <= set(panel.titles()))
        time.sleep(2.5)  # not told together with the endings above
        end_all(sleepers.values())
        ours = lambda: [call for call in replacement.calls if call["app_name"] == "Kestrond Monitor"]
        wait_until("the endings told to the new service",
                   lambda: ours() and ours()[-1]["summary"] == "2 servers stopped unexpectedly")
        check(ours()[0]["replaces_id"] == 0, "replaced another program's: %r" % ours()[0])
        check(ours()[-1]["body"] == "Instance 'r&amp;s'\nInstance 'u&lt;v&gt;'",
              repr(ours()[-1]))
        for name in ("p&q", "x<y>", "r&s", "u<v>"):
            shutil.rmtree(os.path.join(home, name))
        wait_until("their rows to go", lambda: not any("'p&q'" in t for t in panel.titles()))

        # Stopped from the menu, then Quit: nothing more is told.
        time.sleep(1.5)  # a start right after a crash would find its lock file still fresh
        start_from_menu(panel, "Start Default Instance")
        wait_until("Running", lambda: "Stop Default Instance" in panel.titles())
        panel.open()
        panel.click("Stop Default Instance")
        answer_alert("Return")
        wait_until("Stopped", lambda: "Start Default Instance" in panel.titles())
        panel.open()
        panel.click("Quit Kestrond Monitor", then_close=False)
        check(process.wait(DEADLINE_SECONDS) == 0, "exit status %r" % process.returncode)
        told = len(notifications.calls) + len(ours())
        time.sleep(1)
        check(len(notifications.calls) + len(ours()) == told,
              "told more: %r" % (notifications.calls + ours()))
        print("notifications flow: 1 passed, 0 failed")
    finally:
        if process.poll() is None:
            process.kill()
        kill_servers(home, ("database", "early", later))
        loop.quit()


if __name__ == "__main__":
    main()
