#!/usr/bin/python3
"""A virtual pointer on a headless mutter through org.gnome.Mutter.RemoteDesktop. Reads lines
"move X Y" (monitor coordinates) and "click BUTTON" (a Linux button code) from standard input and
answers each with "DONE"; prints READY first. Absolute motion needs a screen cast of the monitor
tied to the remote-desktop session; it carries no cursor and nobody reads it."""
import sys
import threading

from gi.repository import Gio, GLib

RD, SC = "org.gnome.Mutter.RemoteDesktop", "org.gnome.Mutter.ScreenCast"
bus = Gio.bus_get_sync(Gio.BusType.SESSION)


def call(dest, path, interface, method, args=None, reply=None):
    result = bus.call_sync(dest, path, interface, method, args, GLib.VariantType(reply) if reply else None, 0, 10000,
                           None)
    return result.unpack() if result else None


def get(dest, path, interface, name):
    return call(dest, path, "org.freedesktop.DBus.Properties", "Get", GLib.Variant("(ss)", (interface, name)), "(v)")[0]


remote, = call(RD, "/org/gnome/Mutter/RemoteDesktop", RD, "CreateSession", None, "(o)")
options = {"remote-desktop-session-id": GLib.Variant("s", get(RD, remote, RD + ".Session", "SessionId"))}
cast, = call(SC, "/org/gnome/Mutter/ScreenCast", SC, "CreateSession", GLib.Variant("(a{sv})", (options,)), "(o)")
stream, = call(SC, cast, SC + ".Session", "RecordMonitor",
               GLib.Variant("(sa{sv})", ("Meta-0", {"cursor-mode": GLib.Variant("u", 0)})), "(o)")
loop = GLib.MainLoop()
started = threading.Event()
bus.signal_subscribe(SC, SC + ".Stream", "PipeWireStreamAdded", stream, None, 0,
                     lambda *unused: (started.set(), loop.quit()))
call(RD, remote, RD + ".Session", "Start")
GLib.timeout_add_seconds(10, loop.quit)
loop.run()
if not started.is_set():
    sys.exit("mutter started no stream for the virtual pointer")
print("READY", flush=True)
for line in sys.stdin:
    words = line.split()
    if words[:1] == ["move"]:
        call(RD, remote, RD + ".Session", "NotifyPointerMotionAbsolute",
             GLib.Variant("(sdd)", (stream, float(words[1]), float(words[2]))))
    elif words[:1] == ["click"]:
        for pressed in (True, False):
            call(RD, remote, RD + ".Session", "NotifyPointerButton", GLib.Variant("(ib)", (int(words[1]), pressed)))
    print("DONE", flush=True)
call(RD, remote, RD + ".Session", "Stop")
