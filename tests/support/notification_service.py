#!/usr/bin/python3
"""A recording org.freedesktop.Notifications for the tests, on the bus the environment names.

Each Notify call is appended to the file given as the first argument as one JSON line; ids
count from 1 and a call that replaces an id keeps it. CloseNotification emits
NotificationClosed, as a desktop does when the user dismisses one.
"""
import json
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

IFACE = "org.freedesktop.Notifications"


class Notifications(dbus.service.Object):
    def __init__(self, bus, out):
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.out = out
        self.next_id = 1

    @dbus.service.method(IFACE, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        if replaces:
            nid = int(replaces)
        else:
            nid = self.next_id
            self.next_id += 1
        urgency = hints.get("urgency")
        record = {
            "id": nid,
            "app": str(app),
            "replaces": int(replaces),
            "summary": str(summary),
            "body": str(body),
            "urgency": int(urgency) if urgency is not None else None,
            "urgency_is_byte": isinstance(urgency, dbus.Byte),
        }
        with open(self.out, "a", encoding="utf-8") as f:
            f.write(json.dumps(record) + "\n")
        return dbus.UInt32(nid)

    @dbus.service.method(IFACE, in_signature="u", out_signature="")
    def CloseNotification(self, nid):
        self.NotificationClosed(nid, 3)

    @dbus.service.method(IFACE, in_signature="", out_signature="as")
    def GetCapabilities(self):
        return ["body"]

    @dbus.service.method(IFACE, in_signature="", out_signature="ssss")
    def GetServerInformation(self):
        return ("recorder", "tests", "1", "1.2")

    @dbus.service.signal(IFACE, signature="uu")
    def NotificationClosed(self, nid, reason):
        pass


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    Notifications(bus, sys.argv[1])
    _name = dbus.service.BusName(IFACE, bus)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
