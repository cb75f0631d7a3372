#!/usr/bin/python3
"""A test-only screencast portal backend for a headless mutter: it answers the portal frontend's
org.freedesktop.impl.portal.ScreenCast without a dialog by forwarding to mutter's own
org.gnome.Mutter.ScreenCast. A monitor source records mutter's first monitor; a window source
records the focused window; the pointer may be hidden, embedded or metadata, and a restore token
works as with a real desktop. When mutter ends its session (the window closed), the portal session
is closed, so the application sees org.freedesktop.portal.Session.Closed.

Usage: mutter_screencast_portal.py BUS_NAME      (prints "READY" once BUS_NAME is owned)
"""
import sys

from gi.repository import Gio, GLib

MUTTER = "org.gnome.Mutter.ScreenCast"
MUTTER_PATH = "/org/gnome/Mutter/ScreenCast"
MONITOR, WINDOW = 1, 2
HIDDEN, EMBEDDED, METADATA = 1, 2, 4
# The portal's cursor modes as mutter numbers them.
MUTTER_CURSOR_MODES = {HIDDEN: 0, EMBEDDED: 1, METADATA: 2}

INTERFACES = Gio.DBusNodeInfo.new_for_xml("""
<node>
  <interface name="org.freedesktop.impl.portal.ScreenCast">
    <method name="CreateSession">
      <arg type="o" name="handle" direction="in"/><arg type="o" name="session_handle" direction="in"/>
      <arg type="s" name="app_id" direction="in"/><arg type="a{sv}" name="options" direction="in"/>
      <arg type="u" name="response" direction="out"/><arg type="a{sv}" name="results" direction="out"/>
    </method>
    <method name="SelectSources">
      <arg type="o" name="handle" direction="in"/><arg type="o" name="session_handle" direction="in"/>
      <arg type="s" name="app_id" direction="in"/><arg type="a{sv}" name="options" direction="in"/>
      <arg type="u" name="response" direction="out"/><arg type="a{sv}" name="results" direction="out"/>
    </method>
    <method name="Start">
      <arg type="o" name="handle" direction="in"/><arg type="o" name="session_handle" direction="in"/>
      <arg type="s" name="app_id" direction="in"/><arg type="s" name="parent_window" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="u" name="response" direction="out"/><arg type="a{sv}" name="results" direction="out"/>
    </method>
    <property name="AvailableSourceTypes" type="u" access="read"/>
    <property name="AvailableCursorModes" type="u" access="read"/>
    <property name="version" type="u" access="read"/>
  </interface>
  <interface name="org.freedesktop.impl.portal.Session">
    <method name="Close"/>
    <signal name="Closed"/>
    <property name="version" type="u" access="read"/>
  </interface>
</node>""")
SCREENCAST, SESSION = INTERFACES.interfaces


class Session:
    """One portal session and the mutter session behind it."""

    def __init__(self, portal, path):
        self.portal, self.path = portal, path
        self.types, self.cursor, self.persist = MONITOR, HIDDEN, 0
        self.mutter_session = None
        self.registration = portal.bus.register_object(path, SESSION, self.on_call, self.on_property, None)

    def on_call(self, bus, sender, path, interface, method, args, invocation):
        self.close(emit=False)
        invocation.return_value(None)

    def on_property(self, bus, sender, path, interface, name):
        return GLib.Variant("u", 1)

    def start(self, invocation):
        call = self.portal.mutter
        self.mutter_session, = call(MUTTER_PATH, MUTTER, "CreateSession", GLib.Variant("(a{sv})", ({},)), "(o)")
        self.portal.bus.signal_subscribe(MUTTER, MUTTER + ".Session", "Closed", self.mutter_session, None, 0,
                                         lambda *unused: self.close(emit=True))
        cursor = {"cursor-mode": GLib.Variant("u", MUTTER_CURSOR_MODES.get(self.cursor, 0))}
        if self.types & WINDOW:
            stream, = call(self.mutter_session, MUTTER + ".Session", "RecordWindow", GLib.Variant("(a{sv})", (cursor,)),
                           "(o)")
            source = WINDOW
        else:
            stream, = call(self.mutter_session, MUTTER + ".Session", "RecordMonitor",
                           GLib.Variant("(sa{sv})", ("", cursor)), "(o)")
            source = MONITOR

        def added(bus, sender, path, interface, signal, parameters):
            node, = parameters.unpack()
            props = {"source_type": GLib.Variant("u", source)}
            results = {"streams": GLib.Variant("a(ua{sv})", [(node, props)])}
            if self.persist:
                # What a restore token stands for; the frontend hands it back on a later SelectSources.
                results["persist_mode"] = GLib.Variant("u", self.persist)
                results["restore_data"] = GLib.Variant("(suv)", ("mutterforward", 1, GLib.Variant("u", source)))
            invocation.return_value(GLib.Variant("(ua{sv})", (0, results)))

        self.portal.bus.signal_subscribe(MUTTER, MUTTER + ".Stream", "PipeWireStreamAdded", stream, None, 0, added)
        call(self.mutter_session, MUTTER + ".Session", "Start", None, None)

    def close(self, emit):
        if self.registration is None:
            return
        if self.mutter_session:
            try:
                self.portal.mutter(self.mutter_session, MUTTER + ".Session", "Stop", None, None)
            except GLib.Error:
                pass  # mutter ended it already
        if emit:
            self.portal.bus.emit_signal(None, self.path, SESSION.name, "Closed", None)
        self.portal.bus.unregister_object(self.registration)
        self.registration = None
        self.portal.sessions.pop(self.path, None)


class Portal:
    def __init__(self, bus):
        self.bus, self.sessions = bus, {}
        bus.register_object("/org/freedesktop/portal/desktop", SCREENCAST, self.on_call, self.on_property, None)

    def mutter(self, path, interface, method, args, reply_type):
        return self.bus.call_sync(MUTTER, path, interface, method, args,
                                  GLib.VariantType(reply_type) if reply_type else None, 0, 10000, None).unpack()

    def on_property(self, bus, sender, path, interface, name):
        return GLib.Variant("u", {"AvailableSourceTypes": MONITOR | WINDOW,
                                  "AvailableCursorModes": HIDDEN | EMBEDDED | METADATA, "version": 4}[name])

    def on_call(self, bus, sender, path, interface, method, args, invocation):
        handle, session_path, app_id, *rest = args.unpack()
        options = rest[-1]
        try:
            if method == "CreateSession":
                self.sessions[session_path] = Session(self, session_path)
                invocation.return_value(GLib.Variant("(ua{sv})", (0, {})))
            elif method == "SelectSources":
                session = self.sessions[session_path]
                session.types = options.get("types", MONITOR)
                session.cursor = options.get("cursor_mode", HIDDEN)
                session.persist = options.get("persist_mode", 0)
                if "restore_data" in options:
                    print("screencast portal: restore data available", file=sys.stderr, flush=True)
                invocation.return_value(GLib.Variant("(ua{sv})", (0, {})))
            elif method == "Start":
                self.sessions[session_path].start(invocation)  # answers once mutter names the stream
        except (KeyError, GLib.Error) as error:
            print("screencast portal:", method, "failed:", error, file=sys.stderr, flush=True)
            invocation.return_value(GLib.Variant("(ua{sv})", (2, {})))


def main():
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    Portal(bus)
    loop = GLib.MainLoop()
    Gio.bus_own_name_on_connection(bus, sys.argv[1], Gio.BusNameOwnerFlags.NONE,
                                   lambda *unused: print("READY", flush=True), lambda *unused: loop.quit())
    loop.run()


if __name__ == "__main__":
    main()
