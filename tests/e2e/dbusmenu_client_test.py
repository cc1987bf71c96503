#!/usr/bin/python3
"""The monitor's D-Bus menu read by libdbusmenu-glib, the client that
xfce4-panel's and waybar's trays use.

Run inside tests/e2e/session.sh --dbus. A stand-in StatusNotifierWatcher
receives the monitor's item; libdbusmenu-glib reads its menu and clicks in
it the way those panels do, on one GLib main loop; the raw calls whose
answers libdbusmenu keeps to itself (AboutToShow's, the revisions) are made
beside it with dbus-python. Checked:
  1. the whole layout before any opening: labels with "_", "&" and "&&" as a
     GTK panel shows them, the login row a check-mark toggle, Quit's
     shortcut;
  2. ids kept for every row while one instance appears and another goes,
     and never given to another instance;
  3. a click on a row whose neighbours shifted acts on the instance it
     showed;
  4. Event answered at once while the confirmation is on screen;
  5. AboutToShow's answer true exactly when the opening changed the menu;
  6. LayoutUpdated's revisions match what GetLayout answers;
  7. names that differ only in bytes that are not UTF-8 get distinct labels;
  8. the login row clicked in a menu never opened turns start at login on,
     then off, and its toggle-state follows each click;
  9. a Start confirmed from a menu never opened shows "Starting", disabled,
     while the server has not written its lock file (held on a FIFO).
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

import dbus
import dbus.mainloop.glib
import dbus.service
import gi

gi.require_version("Dbusmenu", "0.4")
from gi.repository import Dbusmenu, GLib  # noqa: E402

from e2e_support import (MENU, WATCHER, Watcher, answer_alert, check, end_all,  # noqa: E402
                         make_installation, make_instance, shown, sleeping_servers, spin_for,
                         spin_until)

EVENT_REPLY_LIMIT = 0.050


class Rows:
    """The menu as libdbusmenu-glib holds it: (id, shown text, raw label)."""

    def __init__(self, client):
        self.client = client

    def items(self):
        root = self.client.get_root()
        return root.get_children() if root else []

    def rows(self):
        rows = []
        for item in self.items():
            if item.property_get("type") == "separator":
                rows.append((item.get_id(), "-", None))
            else:
                label = item.property_get("label") or ""
                rows.append((item.get_id(), shown(label), label))
        return rows

    def titles(self):
        return [row[1] for row in self.rows()]

    def item(self, title):
        for item in self.items():
            if shown(item.property_get("label") or "") == title:
                return item
        raise AssertionError("no row %r in %r" % (title, self.titles()))


def main():
    monitor, server = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    watcher = Watcher(bus)
    name = dbus.service.BusName(WATCHER, bus)  # noqa: F841 (held while the test runs)

    root = tempfile.mkdtemp(prefix="kestrond-dbusmenu-")
    hold = os.path.join(root, "hold")
    os.mkfifo(hold)
    # Bytes that are not UTF-8 travel in str as surrogate escapes.
    undecodable = [os.fsdecode(b"caf\xe8"), os.fsdecode(b"caf\xe9")]
    home = make_installation(root, server, {
        "a&b": "", "a&&b": "", "my_db": "", "zulu": "", undecodable[0]: "", undecodable[1]: "",
        "held": "[standin]\nhold_fifo = %s\n" % hold})
    environment = dict(os.environ, KESTROND_HOME=home)
    process = subprocess.Popen([monitor], env=environment)
    sleepers = {}
    held_pid = None
    try:
        spin_until("the monitor's item", lambda: watcher.items)
        service = str(watcher.items[0][0])
        client = Dbusmenu.Client.new(service, "/MenuBar")
        menu = Rows(client)
        raw = dbus.Interface(bus.get_object(service, "/MenuBar"), MENU)
        revisions = []
        bus.add_signal_receiver(lambda revision, parent: revisions.append(int(revision)),
                                "LayoutUpdated", MENU, service, "/MenuBar")

        # 1. The layout before any opening, as a GTK panel shows it.
        expected = ["Start Instance 'a&&b'", "Start Instance 'a&b'",
                    "Start Instance 'caf\\xE8'", "Start Instance 'caf\\xE9'",
                    "Start Instance 'held'", "Start Instance 'my_db'", "Start Instance 'zulu'", "-", "Open Diagnostic Messages",
                    "Open Kestrond Tessaline", "View Online Documentation", "-",
                    "Start Kestrond Monitor at Login", "Quit Kestrond Monitor"]
        spin_until("the layout", lambda: menu.titles() == expected)
        labels = {row[1]: row[2] for row in menu.rows()}
        check(labels["Start Instance 'my_db'"] == "Start Instance 'my__db'",
              "my_db's label: %r" % labels["Start Instance 'my_db'"])
        check(labels["Start Instance 'a&b'"] == "Start Instance 'a&b'",
              "a&b's label: %r" % labels["Start Instance 'a&b'"])
        check(labels["Start Instance 'a&&b'"] == "Start Instance 'a&&b'",
              "a&&b's label: %r" % labels["Start Instance 'a&&b'"])
        # libdbusmenu fetches the layout with a few property names, then the
        # rest of each item's properties in a second call.
        login = menu.item("Start Kestrond Monitor at Login")
        spin_until("the login row's toggle (properties: %r)" % login.properties_list(),
                   lambda: login.property_get("toggle-type") == "checkmark")
        check(login.property_get_int("toggle-state") == 0, "the login row is checked")
        quit_item = menu.item("Quit Kestrond Monitor")
        check(quit_item.property_get_variant("shortcut").unpack() == [["Control", "Q"]],
              "Quit's shortcut: %r" % quit_item.property_get_variant("shortcut"))
        check(menu.item("Open Diagnostic Messages").property_get_bool("enabled") is False,
              "a disabled row shows enabled")
        # 7. is in the layout above: each undecodable byte by its value.

        # 8. The login row, clicked twice in a menu never opened.
        for state in (1, 0):
            raw.Event(login.get_id(), "clicked", dbus.Int32(0), dbus.UInt32(0))
            spin_until("toggle-state %d" % state, lambda: menu.item(
                "Start Kestrond Monitor at Login").property_get_int("toggle-state") == state)

        # 9. A Start confirmed without an opening shows at once, long before
        # the server (held) writes its lock file.
        raw.Event(menu.item("Start Instance 'held'").get_id(), "clicked", dbus.Int32(0),
                  dbus.UInt32(0))
        answer_alert("Return")
        spin_until("the row to say Starting", lambda: "Instance 'held': Starting" in menu.titles())
        check(menu.item("Instance 'held': Starting").property_get_bool("enabled") is False,
              "the Starting row can be chosen")
        with open(hold, "w") as f:
            f.write("go\n")
        spin_until("the held server to run", lambda: "Stop Instance 'held'" in menu.titles())
        held_pid = int(open(os.path.join(home, "held", "kestrond.lck")).read().split()[0])

        # 2. Ids stay with their rows while one instance appears and another
        # goes; the new one gets an id never seen.
        ids = {row[1]: row[0] for row in menu.rows() if row[1] != "-"}
        gone_id = ids.pop("Start Instance 'my_db'")
        make_instance(home, "alpha")
        shutil.rmtree(os.path.join(home, "my_db"))
        spin_until("alpha in, my_db out", lambda: "Start Instance 'alpha'" in menu.titles()
                   and "Start Instance 'my_db'" not in menu.titles())
        now = {row[1]: row[0] for row in menu.rows() if row[1] != "-"}
        alpha_id = now.pop("Start Instance 'alpha'")
        check(now == ids, "ids moved: %r, before %r" % (now, ids))
        check(alpha_id not in ids.values() and alpha_id != gone_id,
              "alpha got id %d, already given" % alpha_id)

        # 6. The revision the last LayoutUpdated carried is the one GetLayout
        # answers.
        spin_until("a LayoutUpdated", lambda: revisions)
        spin_for(0.3)
        layout_revision = int(raw.GetLayout(0, -1, dbus.Array([], signature="s"))[0])
        check(revisions[-1] == layout_revision,
              "LayoutUpdated said %r, GetLayout %d" % (revisions, layout_revision))
        check(revisions == sorted(set(revisions)), "revisions went back: %r" % revisions)

        # 3. Two servers run, a new instance sorts ahead of them: the row
        # libdbusmenu holds for t2's Stop still stops t2.
        make_instance(home, "t1")
        make_instance(home, "t2")
        sleepers = sleeping_servers(home, ("t1", "t2"))
        spin_until("both servers", lambda: {"Stop Instance 't1'", "Stop Instance 't2'"} <= set(
            menu.titles()))
        t2 = menu.item("Stop Instance 't2'")
        position = menu.titles().index("Stop Instance 't2'")
        make_instance(home, "sa")
        spin_until("the rows to shift", lambda: menu.titles()[position] == "Stop Instance 't1'")
        t2.handle_event("clicked", GLib.Variant("i", 0), 0)
        spin_for(0.2)
        answer_alert("Return")
        spin_until("t2's server to stop", lambda: sleepers["t2"].poll() is not None)
        check(sleepers["t1"].poll() is None, "t1's server was stopped instead")

        spin_until("t2 stopped in the menu", lambda: "Start Instance 't2'" in menu.titles())

        # 4. While the confirmation is up, the menu's calls are answered at
        # once.
        menu.item("Start Instance 'zulu'").handle_event("clicked", GLib.Variant("i", 0), 0)
        spin_for(0.1)
        subprocess.run(["timeout", "15", "xdotool", "search", "--sync", "--onlyvisible", "--name",
                        "^Kestrond Monitor$"], capture_output=True, check=True)
        slowest = 0.0
        for _ in range(20):
            started = time.monotonic()
            raw.Event(quit_item.get_id(), "hovered", dbus.Int32(0), dbus.UInt32(0))
            slowest = max(slowest, time.monotonic() - started)
        answer_alert("Escape")
        print("Event answered within %.1f ms while the confirmation was up" % (slowest * 1000))
        check(slowest < EVENT_REPLY_LIMIT, "an Event took %.1f ms" % (slowest * 1000))

        # 5. AboutToShow says whether the opening changed the menu. Start at
        # login is read only when the menu opens.
        raw.Event(0, "closed", dbus.Int32(0), dbus.UInt32(0))
        check(not raw.AboutToShow(0), "an opening that changed nothing asked for an update")
        raw.Event(0, "closed", dbus.Int32(0), dbus.UInt32(0))
        autostart = os.path.join(os.environ["XDG_CONFIG_HOME"], "autostart")
        os.makedirs(autostart, exist_ok=True)
        with open(os.path.join(autostart, "kestrond-monitor.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=Kestrond Monitor\nExec=%s\n"
                    % os.path.realpath(monitor))
        check(raw.AboutToShow(0), "an opening that checked the login row asked for no update")
        spin_until("the check mark", lambda: menu.item(
            "Start Kestrond Monitor at Login").property_get_int("toggle-state") == 1)
        check(not raw.AboutToShow(0), "a second opening asked for an update")
        raw.Event(0, "closed", dbus.Int32(0), dbus.UInt32(0))

        quit_item.handle_event("clicked", GLib.Variant("i", 0), 0)
        spin_until("the monitor to end", lambda: process.poll() is not None)
        check(process.returncode == 0, "exit status %d" % process.returncode)
        print("dbusmenu client: 1 passed, 0 failed")
        return 0
    finally:
        end_all(sleepers.values())
        if held_pid:
            os.kill(held_pid, 15)
        if process.poll() is None:
            process.kill()
            process.wait()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
