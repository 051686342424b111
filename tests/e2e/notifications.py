#!/usr/bin/python3
"""A desktop notification server of our own for the tests, and the clicks a user makes on it.

  notifications.py serve [plain [slow]]  own org.freedesktop.Notifications until killed; "plain"
                                   offers no actions and no markup, "slow" answers Notify only
                                   after 15 s. Prints one JSON line per event:
                                   {"notify": id, "summary", "body", "actions"} or {"closed": id}
  notifications.py click ID ACTION the user chose that action of the notification
  notifications.py draw OUT.png    draws the notification given as a JSON line on stdin, the
                                   way a server that reads markup shows it (ImageMagick)
"""
import html
import json
import subprocess
import sys
import time

import dbus
import dbus.service

NAME = "org.freedesktop.Notifications"
PATH = "/org/freedesktop/Notifications"
TEST = "com.kestrova.Test"


class Server(dbus.service.Object):
    def __init__(self, bus, plain, slow):
        self.capabilities = ["body"] if plain else ["body", "body-markup", "actions"]
        self.slow = slow
        self.last = 0
        super().__init__(bus, PATH)

    @dbus.service.method(NAME, out_signature="as")
    def GetCapabilities(self):
        return self.capabilities

    @dbus.service.method(NAME, out_signature="ssss")
    def GetServerInformation(self):
        return "kestrova-test", "kestrova", "1", "1.2"

    @dbus.service.method(NAME, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        self.last += 1
        number = replaces or self.last
        print(json.dumps({"notify": int(number), "summary": str(summary), "body": str(body),
                          "actions": [str(a) for a in actions]}), flush=True)
        if self.slow:
            time.sleep(15)
        return number

    @dbus.service.method(NAME, in_signature="u")
    def CloseNotification(self, number):
        print(json.dumps({"closed": int(number)}), flush=True)
        self.NotificationClosed(number, 3)

    @dbus.service.signal(NAME, signature="uu")
    def NotificationClosed(self, number, reason):
        pass

    @dbus.service.signal(NAME, signature="us")
    def ActionInvoked(self, number, action):
        pass

    # As a server does when the user clicks an action: the action, then the notification goes.
    @dbus.service.method(TEST, in_signature="us")
    def Click(self, number, action):
        self.ActionInvoked(number, action)
        self.NotificationClosed(number, 2)


def draw(shown, out):
    body = html.unescape(shown["body"]) if "&" in shown["body"] else shown["body"]
    labels = shown["actions"][1::2]
    command = ["convert", "-size", "460x", "-background", "#2d2d2d", "-fill", "#f0f0f0",
               "-font", "DejaVu-Sans-Bold", "-pointsize", "15", "caption:" + shown["summary"],
               "-font", "DejaVu-Sans", "-pointsize", "13", "caption:" + body, "-append"]
    if labels:
        # One button a label, side by side under the text.
        width = 460 // len(labels)
        command += ["(", "-size", "%dx30" % (width - 8), "-background", "#444444",
                    "-fill", "#ffffff", "-gravity", "center"]
        command += ["label:" + label for label in labels]
        command += ["-bordercolor", "#2d2d2d", "-border", "4x8", "+append", ")",
                    "-gravity", "northwest", "-append"]
    command += ["-bordercolor", "#2d2d2d", "-border", "14", out]
    subprocess.run(command, check=True)


def main():
    if sys.argv[1] == "serve":
        from dbus.mainloop.glib import DBusGMainLoop
        from gi.repository import GLib

        DBusGMainLoop(set_as_default=True)
        bus = dbus.SessionBus()
        server = Server(bus, "plain" in sys.argv[2:], "slow" in sys.argv[2:])
        name = dbus.service.BusName(NAME, bus, do_not_queue=True)
        print(json.dumps({"serving": True}), flush=True)
        GLib.MainLoop().run()
        del server, name
    elif sys.argv[1] == "click":
        server = dbus.SessionBus().get_object(NAME, PATH)
        server.Click(dbus.UInt32(int(sys.argv[2])), sys.argv[3], dbus_interface=TEST)
    elif sys.argv[1] == "draw":
        draw(json.loads(sys.stdin.readline()), sys.argv[2])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
