#!/usr/bin/python3
"""The monitor follows the session's StatusNotifierWatcher while it runs.

Run inside tests/e2e/session.sh --dbus (X11, no tray at first). The monitor
starts before any panel and says there is no tray yet. Then:
  1. a watcher appears: the item is registered with it, with what a host
     reads (category, id, title, status, tool tip with the servers, the
     icon at every size in network byte order, its menu);
  2. a server that was running ends: the item asks for attention
     (NeedsAttention, with NewStatus) until the menu is next opened;
  3. a bare Activate, and a ContextMenu, open the menu at the pointer, and
     the host's own opening withdraws it; an Activate and the host's opening
     handled in one loop turn (the monitor stopped while both arrive) give
     the host's menu alone;
  4. the watcher goes and another one comes (a panel restarted): the icon
     docks in the X11 tray meanwhile, and the item is registered with the
     new one.
An X11 tray (trayer) is there from before the first watcher: the icon docks
in it while there is no watcher, and gives way to the watcher's host.
"""
import contextlib
import ctypes
import os
import signal
import subprocess
import sys
import tempfile

import dbus
import dbus.mainloop.glib
import dbus.service

from e2e_support import ITEM, MENU, WATCHER, Watcher, check, make_installation, \
    sleeping_servers, end_all, spin_for, spin_until, windows_of_ours


PTRACE_DETACH, PTRACE_SEIZE, PTRACE_INTERRUPT = 17, 0x4206, 0x4207
WALL = 0x40000000


def pixel(pixmap, x, y):
    """The (alpha, red, green, blue) of one pixel of an (iiay) picture."""
    width, _, data = pixmap
    offset = (y * int(width) + x) * 4
    return tuple(int(byte) for byte in data[offset:offset + 4])


@contextlib.contextmanager
def main_thread_held(pid):
    """Holds the process's main thread (its Qt loop) in a ptrace stop while
    its other threads run on."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p]
    check(libc.ptrace(PTRACE_SEIZE, pid, None, None) == 0,
          "PTRACE_SEIZE: %s" % os.strerror(ctypes.get_errno()))
    try:
        check(libc.ptrace(PTRACE_INTERRUPT, pid, None, None) == 0, "PTRACE_INTERRUPT")
        os.waitpid(pid, WALL)
        yield
    finally:
        libc.ptrace(PTRACE_DETACH, pid, None, None)


def main():
    monitor, server = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    address = os.environ["DBUS_SESSION_BUS_ADDRESS"]
    root = tempfile.mkdtemp(prefix="kestrond-late-")
    home = make_installation(root, server, {"alpha": "", "bravo": ""})
    sleepers = sleeping_servers(home, ("bravo",))
    errors = open(os.path.join(root, "monitor.err"), "w+")
    process = subprocess.Popen([monitor], env=dict(os.environ, KESTROND_HOME=home),
                               stderr=errors)

    def said(text):
        errors.seek(0)
        return text in errors.read()

    trayer = None
    try:
        spin_until("the line about the missing tray", lambda: said("No system tray yet"))
        # An X11 tray comes first: the icon docks there.
        trayer = subprocess.Popen(["trayer", "--edge", "top", "--align", "right", "--widthtype",
                                   "request", "--height", "24"], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        spin_until("the icon in the X11 tray", windows_of_ours)

        # 1. A watcher comes after the monitor: the item goes there, and the
        # X11 icon gives way.
        first_bus = dbus.bus.BusConnection(address)
        first = Watcher(first_bus)
        first_bus.request_name(WATCHER)
        spin_until("the item registered with the late watcher", lambda: first.items)
        spin_until("the X11 icon to give way", lambda: not windows_of_ours())
        client = dbus.bus.BusConnection(address)
        service = str(first.items[0][0])
        item = dbus.Interface(client.get_object(service, "/StatusNotifierItem"),
                              dbus.PROPERTIES_IFACE)
        properties = item.GetAll(ITEM)
        for name, value in (("Category", "ApplicationStatus"), ("Id", "kestrond-monitor"),
                            ("Title", "Kestrond Monitor"), ("Status", "Active"),
                            ("Menu", "/MenuBar"), ("ItemIsMenu", False)):
            check(properties[name] == value, "%s: %r" % (name, properties[name]))
        _, _, tip_title, tip_text = properties["ToolTip"]
        check(tip_title == "Halvorix Kestrond", "tool tip title: %r" % tip_title)
        spin_until("bravo in the tool tip (%r)" % tip_text, lambda: "Instance 'bravo': Running" in str(
            item.Get(ITEM, "ToolTip")[3]))
        pixmaps = item.Get(ITEM, "IconPixmap")
        sizes = sorted(int(width) for width, _, _ in pixmaps)
        check({16, 22, 24, 32, 48, 64} <= set(sizes), "icon sizes: %r" % sizes)
        for width, height, data in pixmaps:
            check(len(data) == int(width) * int(height) * 4, "picture %d has %d bytes"
                  % (width, len(data)))
        large = next(p for p in pixmaps if int(p[0]) == 64)
        # The badge's blue, opaque, at its left edge where no letter is
        # drawn; the corner outside the rounded square is transparent.
        check(pixel(large, 8, 32) == (0xff, 0x1d, 0x4e, 0x89), "badge pixel %r"
              % (pixel(large, 8, 32),))
        check(pixel(large, 0, 0)[0] < 0x40, "corner pixel %r" % (pixel(large, 0, 0),))

        # 2. A running server ends without a Stop from the menu: attention,
        # until the menu opens.
        statuses = []
        client.add_signal_receiver(lambda status: statuses.append(str(status)), "NewStatus",
                                   ITEM, service, "/StatusNotifierItem")
        sleepers["bravo"].send_signal(signal.SIGKILL)
        spin_until("NeedsAttention", lambda: item.Get(ITEM, "Status") == "NeedsAttention")
        spin_until("the NewStatus signal", lambda: "NeedsAttention" in statuses)
        menu = dbus.Interface(client.get_object(service, "/MenuBar"), MENU)
        menu.AboutToShow(0)
        menu.Event(0, "opened", dbus.Int32(0), dbus.UInt32(0))
        spin_until("Active again", lambda: item.Get(ITEM, "Status") == "Active")
        menu.Event(0, "closed", dbus.Int32(0), dbus.UInt32(0))

        # 3. A host whose click only activates gets the menu at the pointer;
        # when the host then opens the menu itself, that one goes. A host
        # that asks for a context menu gets it there too.
        pointer_menu = windows_of_ours
        check(not pointer_menu(), "a window of ours is shown before any click")
        actions = dbus.Interface(client.get_object(service, "/StatusNotifierItem"), ITEM)
        actions.Activate(0, 0)
        spin_until("the menu at the pointer", pointer_menu)
        menu.AboutToShow(0)
        spin_until("the menu at the pointer to go", lambda: not pointer_menu())
        menu.Event(0, "closed", dbus.Int32(0), dbus.UInt32(0))
        # Both in one loop turn: the monitor's main thread is held while its
        # D-Bus thread takes both in.
        answered = []
        with main_thread_held(process.pid):
            for call in (lambda **handlers: actions.Activate(0, 0, **handlers),
                         lambda **handlers: menu.AboutToShow(0, **handlers)):
                call(reply_handler=lambda *_: answered.append(True),
                     error_handler=lambda error: answered.append(error))
            spin_for(0.3)
        spin_until("both answered", lambda: len(answered) == 2)
        check(answered == [True, True], "answers: %r" % answered)
        spin_for(1.0)  # three times the grace an Activate gives the host
        check(not pointer_menu(), "a menu at the pointer beside the host's own")
        menu.Event(0, "closed", dbus.Int32(0), dbus.UInt32(0))
        actions.ContextMenu(0, 0)
        spin_until("the context menu at the pointer", pointer_menu)
        menu.AboutToShow(0)
        spin_until("the context menu to go", lambda: not pointer_menu())
        menu.Event(0, "closed", dbus.Int32(0), dbus.UInt32(0))

        # 4. The panel restarts: its watcher goes (the icon docks in the X11
        # tray meanwhile), a new one comes.
        first_bus.release_name(WATCHER)
        first_bus.close()
        spin_until("the icon back in the X11 tray", windows_of_ours)
        second_bus = dbus.bus.BusConnection(address)
        second = Watcher(second_bus)
        second_bus.request_name(WATCHER)
        spin_until("the item registered with the new watcher", lambda: second.items)
        check(str(second.items[0][0]) == service, "registered as %r" % (second.items,))
        spin_until("the X11 icon to give way again", lambda: not windows_of_ours())
        check(process.poll() is None, "the monitor ended")
        print("late watcher: 1 passed, 0 failed")
        return 0
    finally:
        end_all(sleepers.values())
        if trayer:
            trayer.terminate()
            trayer.wait()
        if process.poll() is None:
            process.terminate()
            process.wait()


if __name__ == "__main__":
    sys.exit(main())
