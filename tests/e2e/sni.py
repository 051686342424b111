#!/usr/bin/python3
"""A small StatusNotifierItem host for the tests, and the calls a panel makes on an item.

  sni.py watch            own org.kde.StatusNotifierWatcher, with a host registered, until killed;
                          each registered item is printed as "registered SERVICE PATH"
  sni.py item             the first registered item's Title and whether it has an icon
  sni.py menu             its menu: one "label|enabled|toggle-type|toggle-state" line per entry,
                          the label as a panel shows it ("_" marks the next character as the key)
  sni.py click LABEL      sends the menu entry with that label the event "clicked"
  sni.py activate         a left click on the item (Activate)
"""
import re
import sys

import dbus
import dbus.service

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"


INTROSPECTION = """<node>
 <interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
 </interface>
 <interface name="org.freedesktop.DBus.Properties">
  <method name="Get"><arg type="s" direction="in"/><arg type="s" direction="in"/>
   <arg type="v" direction="out"/></method>
  <method name="GetAll"><arg type="s" direction="in"/><arg type="a{sv}" direction="out"/></method>
 </interface>
</node>"""


class Watcher(dbus.service.Object):
    def __init__(self, bus):
        self.items = []
        super().__init__(bus, "/StatusNotifierWatcher")

    @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        # An item names either its bus name (path by convention) or its path on the sender.
        path = "/StatusNotifierItem"
        if service.startswith("/"):
            service, path = sender, service
        self.items.append(service + path)
        print("registered", service, path, flush=True)
        self.StatusNotifierItemRegistered(service + path)

    @dbus.service.method(WATCHER, in_signature="s")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemRegistered(self, item):
        pass

    # python-dbus leaves properties out of its introspection; Qt reads them only when listed.
    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s")
    def Introspect(self):
        return INTROSPECTION

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {
            "RegisteredStatusNotifierItems": dbus.Array(self.items, signature="s"),
            "IsStatusNotifierHostRegistered": dbus.Boolean(True),
            "ProtocolVersion": dbus.Int32(0),
        }


def watch():
    from dbus.mainloop.glib import DBusGMainLoop
    from gi.repository import GLib

    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    watcher = Watcher(bus)
    # The name last: whoever sees it can already call the object.
    name = dbus.service.BusName(WATCHER, bus, do_not_queue=True)
    print("watching", flush=True)
    GLib.MainLoop().run()
    del watcher, name


def first_item(bus):
    watcher = bus.get_object(WATCHER, "/StatusNotifierWatcher")
    items = watcher.Get(WATCHER, "RegisteredStatusNotifierItems", dbus_interface=dbus.PROPERTIES_IFACE)
    if not items:
        sys.exit("no item registered")
    service, _, path = str(items[0]).partition("/")
    return bus.get_object(service, "/" + path)


def menu_entries(bus):
    item = first_item(bus)
    path = item.Get(ITEM, "Menu", dbus_interface=dbus.PROPERTIES_IFACE)
    menu = bus.get_object(item.bus_name, path)
    _, layout = menu.GetLayout(0, -1, dbus.Array([], signature="s"), dbus_interface=MENU)
    return menu, [(int(identifier), properties) for identifier, properties, _ in layout[2]]


def main():
    command = sys.argv[1]
    if command == "watch":
        watch()
        return
    bus = dbus.SessionBus()
    if command == "item":
        item = first_item(bus)
        props = item.GetAll(ITEM, dbus_interface=dbus.PROPERTIES_IFACE)
        pixmaps = props.get("IconPixmap", [])
        drawn = any(any(byte != 0 for byte in data) for _, _, data in pixmaps)
        print("title=%s" % props.get("Title", ""))
        print("icon=%s" % ("drawn" if drawn or props.get("IconName") else "none"))
        return
    menu, found = menu_entries(bus)
    if command == "menu":
        for _, properties in found:
            if properties.get("type") == "separator":
                print("-")
                continue
            print("%s|%s|%s|%s" % (
                re.sub("_(.)", r"\1", properties.get("label", "")),
                "on" if properties.get("enabled", True) else "off",
                properties.get("toggle-type", ""),
                int(properties.get("toggle-state", -1)),
            ))
    elif command == "click":
        label = sys.argv[2]
        for identifier, properties in found:
            if properties.get("label") == label:
                menu.Event(dbus.Int32(identifier), "clicked", dbus.Int32(0, variant_level=1),
                           dbus.UInt32(0), dbus_interface=MENU)
                return
        sys.exit("no entry labelled %r" % label)
    elif command == "activate":
        first_item(bus).Activate(dbus.Int32(0), dbus.Int32(0), dbus_interface=ITEM)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
