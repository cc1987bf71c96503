#!/usr/bin/python3
"""End to end through the D-Bus tray: a stand-in panel on the session bus.

It registers as the StatusNotifierWatcher with a host, receives the real
monitor's item, reads its menu with com.canonical.dbusmenu and plays the
panel's part (AboutToShow, "clicked", "closed"); alerts are answered with key
presses. Run inside tests/e2e/session.sh --dbus, with the monitor and the
stand-in server as arguments.
"""
import os
import resource
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

from e2e_support import (DEADLINE_SECONDS, Panel, WATCHER, Watcher, answer_alert, check,
                         client_connection, end_all, fake_opener, kill_servers, make_installation,
                         make_instance, sleeping_servers, wait_until)

def main():
    monitor, server = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    dbus.mainloop.glib.threads_init()
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    service_bus = dbus.SessionBus()
    watcher = Watcher(service_bus)
    name = dbus.service.BusName(WATCHER, service_bus)
    loop = GLib.MainLoop()
    threading.Thread(target=loop.run, daemon=True).start()
    client = client_connection(os.environ["DBUS_SESSION_BUS_ADDRESS"])

    root = tempfile.mkdtemp(prefix="kestrond-e2e-")
    # "r&d" and "my_db": titles show "&" and "_" as they are, not as mnemonics.
    # The default instance's server waits for a line on a FIFO before it
    # starts, so that "Starting" is there to be seen however loaded the
    # machine; the FIFO is held open here, so a line is kept for it.
    hold = os.path.join(root, "hold")
    os.mkfifo(hold)
    hold_fd = os.open(hold, os.O_RDWR)
    home = make_installation(root, server, {"database": "[standin]\nhold_fifo = %s\n" % hold,
                                            "my_db": "", "r&d": ""}, with_lib=True)
    opener_dir, opened = fake_opener(root)
    environment = dict(os.environ, KESTROND_HOME=home,
                       PATH=opener_dir + ":" + os.environ.get("PATH", "/usr/bin:/bin"))
    environment.pop("LD_LIBRARY_PATH", None)
    # Started with a soft limit on open files below the hard one: the monitor
    # raises its own, and what it opens gets this one back.
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    process = subprocess.Popen([monitor], env=environment, preexec_fn=lambda: resource.setrlimit(
        resource.RLIMIT_NOFILE, (512, hard)))
    server_pid = None
    try:
        check(watcher.registered.wait(DEADLINE_SECONDS), "the monitor registered no item")
        # Registered by its unique name, with no item name of its own for a
        # host to watch (GNOME's extension drops an item whose name's first
        # owner answer comes after its properties).
        check(watcher.items[0][0].startswith(":"), "registered as %r" % (watcher.items[0],))
        item_names = [str(n) for n in client.list_names()
                      if str(n).startswith("org.kde.StatusNotifierItem-")]
        check(not item_names, "the monitor owns %r" % item_names)
        panel = Panel(client, *watcher.items[0])
        check(panel.tool_tip() == "Halvorix Kestrond", "tool tip: " + panel.tool_tip())

        expected = [("Start Default Instance", True, None), ("Start Instance 'my_db'", True, None),
                    ("Start Instance 'r&d'", True, None),
                    ("-", False, None), ("Open Diagnostic Messages", False, None),
                    ("Open Kestrond Tessaline", False, None),
                    ("View Online Documentation", True, None), ("-", False, None),
                    ("Start Kestrond Monitor at Login", True, 0),
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
        wait_until("Starting", lambda: panel.titles()[0] == "Default Instance: Starting")
        os.write(hold_fd, b"go\n")
        wait_until("Running", lambda: panel.titles()[0] == "Stop Default Instance")
        check([row[0] for row in panel.rows()] == ids, "the menu items were recreated")
        panel.close()
        with open(os.path.join(home, "database", "kestrond.lck")) as f:
            server_pid = int(f.read())

        rows = panel.open()
        check(rows[5][1:3] == ("Open Kestrond Tessaline", True), repr(rows))
        panel.click("Open Kestrond Tessaline")
        panel.open()
        panel.click("Open Diagnostic Messages")
        log_url = "file://" + urllib.parse.quote(os.path.join(home, "database", "kestrond.log"))
        wait_until("the opener", lambda: os.path.exists(opened) and
                   len(open(opened).read().splitlines()) == 2)
        # Two detached openers race: the order they finish in is no part of it.
        check(sorted(open(opened).read().splitlines()) ==
              sorted(["http://localhost:8890/tessaline/|unset|512", log_url + "|unset|512"]),
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

        # Two servers run and the panel has the closed menu; a new instance
        # sorts ahead of them and the rows shift. A click on the id the panel
        # showed as t2's Stop acts on t2, and once t2 has gone, on nothing.
        make_instance(home, "t1")
        make_instance(home, "t2")
        sleepers = sleeping_servers(home, ("t1", "t2"))
        try:
            wait_until("both servers in the closed menu", lambda: {
                "Stop Instance 't1'", "Stop Instance 't2'"} <= set(panel.titles()))
            rows = panel.rows()
            shown_t2 = next(row[0] for row in rows if row[1] == "Stop Instance 't2'")
            position = [row[0] for row in rows].index(shown_t2)
            make_instance(home, "sa")
            wait_until("the rows to shift",
                       lambda: panel.titles()[position] == "Stop Instance 't1'")
            panel.menu.Event(shown_t2, "clicked", dbus.Int32(0), dbus.UInt32(0))
            answer_alert("Return")
            wait_until("t2's server to stop", lambda: sleepers["t2"].poll() is not None)
            check(sleepers["t1"].poll() is None, "t1's server was stopped instead")

            shutil.rmtree(os.path.join(home, "t2"))
            wait_until("t2's row to go", lambda: not any("'t2'" in t for t in panel.titles()))
            panel.menu.Event(shown_t2, "clicked", dbus.Int32(0), dbus.UInt32(0))
            time.sleep(1)
            check(subprocess.run(["xdotool", "search", "--onlyvisible", "--name",
                                  "^Kestrond Monitor$"], capture_output=True).returncode != 0,
                  "a click on a row that has gone asked a question")
            check(sleepers["t1"].poll() is None, "a click on a row that has gone stopped t1")
        finally:
            end_all(sleepers.values())
        for name in ("t1", "sa"):
            shutil.rmtree(os.path.join(home, name))
        wait_until("the extra rows to go", lambda: not any(
            "'t1'" in t or "'sa'" in t for t in panel.titles()))

        # Started again, then Quit: status 0, and the server keeps running.
        panel.open()
        os.write(hold_fd, b"go\n")  # this start's line, read once it runs
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
