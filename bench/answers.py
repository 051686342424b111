#!/usr/bin/python3
"""Times an answer from the click to the agent: a hook waits at the gate, and the user answers it
either on the desktop notification (this script is the notification server, so the click is an
ActionInvoked signal it sends) or on the phone (a POST to the room, as the phone page makes).
Prints the median of each. The helper must start after this script says "serving"; the
measuring begins once the helper has signed in and its gate serves.

  answers.py SETTINGS_FILE GATE_SOCKET RELAY_URL [ROUNDS]
"""
import http.client
import json
import os
import socket
import statistics
import sys
import threading
import time
import urllib.request

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "org.freedesktop.Notifications"
PATH = "/org/freedesktop/Notifications"
settings_file, gate_socket, relay = sys.argv[1:4]
rounds = int(sys.argv[4]) if len(sys.argv) > 4 else 10
api_key = room = None


class Server(dbus.service.Object):
    def __init__(self, bus):
        self.shown = {}  # the command in the body -> notification number
        self.last = 0
        super().__init__(bus, PATH)

    @dbus.service.method(NAME, out_signature="as")
    def GetCapabilities(self):
        return ["body", "actions"]

    @dbus.service.method(NAME, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        self.last += 1
        self.shown[str(body).splitlines()[0]] = self.last
        return self.last

    @dbus.service.method(NAME, in_signature="u")
    def CloseNotification(self, number):
        pass

    @dbus.service.signal(NAME, signature="us")
    def ActionInvoked(self, number, action):
        pass


def post(url, body, key):
    request = urllib.request.Request(url, data=body, method="POST", headers={
        "Authorization": "Bearer " + key, "Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=60) as answer:
        return answer.read()


class GateConnection(http.client.HTTPConnection):
    """HTTP on the gate's socket, the only way a hook reaches it."""

    def __init__(self):
        super().__init__("localhost", timeout=60)

    def connect(self):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(60)
        self.sock.connect(gate_socket)


def ask(command, answered):
    hook = json.dumps({"session_id": "bench", "cwd": "/tmp", "hook_event_name": "PermissionRequest",
                       "tool_name": "Bash", "tool_input": {"command": command}}).encode()
    gate = GateConnection()
    gate.request("POST", "/hooks/claude-code", hook, {"Content-Type": "application/json"})
    gate.getresponse().read()
    answered.append(time.monotonic())


def pending_id():
    request = urllib.request.Request(relay + "/api/v1/rooms/%s/intents?status=pending" % room,
                                     headers={"Authorization": "Bearer " + api_key})
    with urllib.request.urlopen(request, timeout=10) as answer:
        intents = json.load(answer)["intents"]
    return intents[0]["id"] if intents else None


def until(check):
    for _ in range(3000):
        value = check()
        if value:
            return value
        time.sleep(0.01)
    sys.exit("bench: gave up waiting")


def signed_in():
    global api_key, room
    try:
        with open(settings_file) as f:
            stored = dict(line.strip().split("=", 1) for line in f if "=" in line)
        api_key, room = stored["kv.apiKey"], stored["kv.personalRoom"]
        urllib.request.urlopen("http://127.0.0.1:8789/intents", timeout=1).read()
        return os.path.exists(gate_socket)
    except (OSError, KeyError):
        return None


def measure(server):
    until(signed_in)
    times = {"desktop": [], "phone": []}
    for i in range(rounds + 1):  # the first of each warms up
        for where in ("desktop", "phone"):
            command = "Bash: echo %s %d" % (where, i)
            answered = []
            hook = threading.Thread(target=ask, args=(command.split(": ", 1)[1], answered))
            hook.start()
            number = until(lambda: server.shown.get(command))
            intent = until(pending_id)
            start = time.monotonic()
            if where == "desktop":
                GLib.idle_add(server.ActionInvoked, dbus.UInt32(number), "approve")
            else:
                post("%s/api/v1/rooms/%s/intents/%s/decision" % (relay, room, intent),
                     b'{"status": "approved"}', api_key)
            hook.join()
            if i > 0:
                times[where].append((answered[0] - start) * 1000)
    for where in ("desktop", "phone"):
        print("answer-%s: %.1f ms click to the agent's answer (median of %d)"
              % (where, statistics.median(times[where]), rounds), flush=True)
    GLib.idle_add(loop.quit)


DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
server = Server(bus)
name = dbus.service.BusName(NAME, bus, do_not_queue=True)
print("serving", flush=True)
loop = GLib.MainLoop()
threading.Thread(target=measure, args=(server,), daemon=True).start()
loop.run()
