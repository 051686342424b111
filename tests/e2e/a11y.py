#!/usr/bin/python3
"""The helper as a screen reader meets it, on the accessibility bus.

  a11y.py shows PID TEXT [S]   waits up to S seconds (10) for an object of that program's windows
                               named TEXT; fails, printing the names, if the program leaves a
                               question unanswered for a second
"""
import sys
import time

import dbus

ACCESSIBLE = "org.a11y.atspi.Accessible"
ROOT = "/org/a11y/atspi/accessible/root"


def names(bus, service, path):
    node = bus.get_object(service, path, introspect=False)
    yield str(node.Get(ACCESSIBLE, "Name", dbus_interface=dbus.PROPERTIES_IFACE, timeout=1))
    for _, child in node.GetChildren(dbus_interface=ACCESSIBLE, timeout=1):
        yield from names(bus, service, child)


def main():
    launcher = dbus.SessionBus().get_object("org.a11y.Bus", "/org/a11y/bus")
    bus = dbus.bus.BusConnection(str(launcher.GetAddress(dbus_interface="org.a11y.Bus")))
    daemon = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
    registry = bus.get_object("org.a11y.atspi.Registry", ROOT)
    end = time.monotonic() + float(sys.argv[4] if len(sys.argv) > 4 else 10)
    while True:
        found = []
        for service, path in registry.GetChildren(dbus_interface=ACCESSIBLE):
            if daemon.GetConnectionUnixProcessID(service) == int(sys.argv[2]):
                found = list(names(bus, service, path))
        if sys.argv[3] in found:
            return
        if time.monotonic() > end:
            sys.exit("not shown; shown:\n" + "\n".join(found))
        time.sleep(0.1)


if __name__ == "__main__":
    main()
