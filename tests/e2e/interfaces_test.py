#!/usr/bin/python3
"""The item's and the menu's interfaces as a GDBus client sees them: what
Introspect declares is what is answered, with the declared types, and
nothing else is. Run inside tests/e2e/session.sh --dbus.

Every declared method is called with arguments of its declared types: none
may be unknown, and a reply's types are the declared ones. Every declared
property is read, one by one and all at once, with its declared type. An
undeclared method is unknown, a declared one called with other types is
refused, and the signals a change brings are declared ones. A row's
"enabled", left out of the layout where it is true, reads as it shows.
"""
import os
import subprocess
import sys
import tempfile

import dbus
import dbus.mainloop.glib
from gi.repository import Gio, GLib

from e2e_support import WATCHER, Watcher, check, make_installation, make_instance, spin_until

OBJECTS = {"/StatusNotifierItem": "org.kde.StatusNotifierItem",
           "/MenuBar": "com.canonical.dbusmenu"}
UNKNOWN = ("org.freedesktop.DBus.Error.UnknownMethod",
           "org.freedesktop.DBus.Error.UnknownInterface")


def complete_types(signature):
    """Splits a signature into its complete types: "ia{sv}(ii)" -> i, a{sv}, (ii)."""
    types, i = [], 0
    while i < len(signature):
        start = i
        while signature[i] == "a":
            i += 1
        if signature[i] in "({":
            depth = 0
            while True:
                depth += signature[i] in "({"
                depth -= signature[i] in ")}"
                i += 1
                if depth == 0:
                    break
        else:
            i += 1
        types.append(signature[start:i])
    return types


def zero(type_):
    """A value of one complete type, as empty as it gets."""
    if type_.startswith("a{"):
        return {}
    if type_.startswith("a"):
        return []
    if type_.startswith("("):
        return tuple(zero(member) for member in complete_types(type_[1:-1]))
    return {"b": False, "s": "", "o": "/", "g": "", "d": 0.0, "v": GLib.Variant("i", 0)}.get(
        type_, 0)


def call(bus, service, path, interface, method, signature, values):
    parameters = GLib.Variant("(%s)" % signature, tuple(values)) if signature else None
    try:
        return bus.call_sync(service, path, interface, method, parameters, None,
                             Gio.DBusCallFlags.NONE, 5000, None), None
    except GLib.Error as error:
        return None, Gio.DBusError.get_remote_error(error)


def check_object(bus, service, path, own):
    xml = call(bus, service, path, "org.freedesktop.DBus.Introspectable", "Introspect", "", [])[0]
    node = Gio.DBusNodeInfo.new_for_xml(xml.unpack()[0])
    declared = {interface.name: interface for interface in node.interfaces}
    check(own in declared, "%s does not declare %s" % (path, own))
    called = 0
    for interface in node.interfaces:
        for method in interface.methods:
            signature = "".join(arg.signature for arg in method.in_args)
            values = [zero(arg.signature) for arg in method.in_args]
            result, error = call(bus, service, path, interface.name, method.name, signature, values)
            check(error not in UNKNOWN, "%s.%s is declared, not answered" % (interface.name,
                                                                           method.name))
            if result is not None:
                expected = "(%s)" % "".join(arg.signature for arg in method.out_args)
                check(result.get_type_string() == expected, "%s.%s replied %s, declared %s" % (
                    interface.name, method.name, result.get_type_string(), expected))
            called += 1
    properties = {p.name: p.signature for p in declared[own].properties}
    everything = call(bus, service, path, "org.freedesktop.DBus.Properties", "GetAll", "s",
                      [own])[0].get_child_value(0)
    read = {everything.get_child_value(i).get_child_value(0).get_string():
            everything.get_child_value(i).get_child_value(1).get_variant().get_type_string()
            for i in range(everything.n_children())}
    check(read == properties, "%s: GetAll %r, declared %r" % (path, read, properties))
    for name, type_ in properties.items():
        value = call(bus, service, path, "org.freedesktop.DBus.Properties", "Get", "ss",
                     [own, name])[0]
        check(value.get_child_value(0).get_variant().get_type_string() == type_,
              "%s.%s is not %s" % (own, name, type_))
    _, error = call(bus, service, path, own, "Frobnicate", "", [])
    check(error == UNKNOWN[0], "an undeclared method: %r" % error)
    first = declared[own].methods[0]
    _, error = call(bus, service, path, own, first.name, "x", [7])
    check(error == "org.freedesktop.DBus.Error.InvalidArgs", "%s with other types: %r" % (
        first.name, error))
    return called, {s.name: "(%s)" % "".join(a.signature for a in s.args)
                    for s in declared[own].signals}


def main():
    monitor, server = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    service_bus = dbus.SessionBus()
    watcher = Watcher(service_bus)
    service_bus.request_name(WATCHER)
    home = make_installation(tempfile.mkdtemp(prefix="kestrond-interfaces-"), server,
                             {"alpha": ""})
    process = subprocess.Popen([monitor], env=dict(os.environ, KESTROND_HOME=home))
    try:
        spin_until("the item registered", lambda: watcher.items)
        service = str(watcher.items[0][0])
        bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
        seen = []
        bus.signal_subscribe(service, None, None, None, None, Gio.DBusSignalFlags.NONE,
                             lambda _c, _s, path, interface, name, parameters: seen.append(
                                 (path, interface, name, parameters.get_type_string())))
        called, declared_signals = 0, {}
        for path, own in OBJECTS.items():
            count, emitted = check_object(bus, service, path, own)
            called += count
            declared_signals.update({(path, own, name): types for name, types in emitted.items()})
        # "enabled" is left out of a layout where it is true, and still read
        # one by one, as it is where it is false.
        layout = call(bus, service, "/MenuBar", "com.canonical.dbusmenu", "GetLayout", "iias",
                      [0, -1, []])[0].unpack()[1]
        enabled = {}
        for child in layout[2]:
            ident, properties = child[0], child[1]
            if properties.get("type") != "separator":
                value = call(bus, service, "/MenuBar", "com.canonical.dbusmenu", "GetProperty",
                             "is", [ident, "enabled"])[0].unpack()[0]
                enabled[properties["label"]] = (properties.get("enabled", True), value)
        check(all(shown == read for shown, read in enabled.values()) and
              {True, False} <= {read for _, read in enabled.values()},
              "enabled as laid out and as read: %r" % enabled)
        # A layout is built once and sent again as it was: a second client
        # is still answered, and answered alone.
        other = Gio.DBusConnection.new_for_address_sync(
            os.environ["DBUS_SESSION_BUS_ADDRESS"],
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT |
            Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
        again = call(other, service, "/MenuBar", "com.canonical.dbusmenu", "GetLayout", "iias",
                     [0, -1, []])[0]
        check(again is not None and again.unpack()[1] == layout,
              "the layout sent again to another client: %r" % (again,))
        make_instance(home, "beta")
        call(bus, service, "/MenuBar", "com.canonical.dbusmenu", "AboutToShow", "i", [0])
        spin_until("a signal of the change", lambda: seen)
        for path, interface, name, types in seen:
            check(declared_signals.get((path, interface, name)) == types,
                  "an undeclared signal %s.%s%s on %s" % (interface, name, types, path))
        check(process.poll() is None, "the monitor ended")
        print("interfaces: %d methods answered as declared, %d signals" % (called, len(seen)))
        print("interfaces: 1 passed, 0 failed")
        return 0
    finally:
        process.terminate()
        process.wait()


if __name__ == "__main__":
    sys.exit(main())
