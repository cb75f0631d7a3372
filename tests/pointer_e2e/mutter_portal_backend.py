#!/usr/bin/python3
"""A test-only screen-cast portal backend for a headless mutter: it answers the portal frontend's
org.freedesktop.impl.portal.ScreenCast calls without a dialog by asking mutter's own
org.gnome.Mutter.ScreenCast for a cast of its one monitor. Restore data is handed back as given,
so a restore token works as it does with a real desktop. Usage: mutter_portal_backend.py BUS_NAME"""
import sys

from gi.repository import Gio, GLib

MUTTER = "org.gnome.Mutter.ScreenCast"
MUTTER_PATH = "/org/gnome/Mutter/ScreenCast"
CONNECTOR = "Meta-0"  # the first virtual monitor of `mutter --headless --virtual-monitor`

INTERFACES = """
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
</node>"""
NODE = Gio.DBusNodeInfo.new_for_xml(INTERFACES)
bus = Gio.bus_get_sync(Gio.BusType.SESSION)
sessions = {}  # portal session path -> {"options", "mutter", "registration"}


def log(*words):
    print(*words, file=sys.stderr, flush=True)


def mutter_call(path, interface, method, args=None, reply="()"):
    return bus.call_sync(MUTTER, path, interface, method, args, GLib.VariantType(reply), 0, 10000, None).unpack()


def close_session(path, tell):
    session = sessions.pop(path, None)
    if not session:
        return
    if session.get("mutter"):
        try:
            mutter_call(session["mutter"], MUTTER + ".Session", "Stop")
        except GLib.Error:
            pass
    bus.unregister_object(session["registration"])
    if tell:
        bus.emit_signal(None, path, "org.freedesktop.impl.portal.Session", "Closed", None)


def on_session_call(connection, sender, path, interface, method, args, invocation):
    log("session", path, method)
    close_session(path, tell=False)
    invocation.return_value(None)


def on_session_property(connection, sender, path, interface, name):
    return GLib.Variant("u", 1)


def start_cast(path):
    session = sessions[path]
    options = session["options"]
    mutter_session, = mutter_call(MUTTER_PATH, MUTTER, "CreateSession", GLib.Variant("(a{sv})", ({},)), "(o)")
    session["mutter"] = mutter_session
    cursor = options.get("cursor_mode", 1)
    # Portal cursor modes are bits (1 hidden, 2 embedded, 4 metadata); mutter counts 0, 1, 2.
    mutter_cursor = {1: 0, 2: 1, 4: 2}.get(cursor, 0)
    stream, = mutter_call(mutter_session, MUTTER + ".Session", "RecordMonitor",
                          GLib.Variant("(sa{sv})", (CONNECTOR, {"cursor-mode": GLib.Variant("u", mutter_cursor)})),
                          "(o)")
    node = []
    loop = GLib.MainLoop()

    def added(connection, sender, object_path, interface, signal, params):
        node.append(params.unpack()[0])
        loop.quit()

    subscription = bus.signal_subscribe(MUTTER, MUTTER + ".Stream", "PipeWireStreamAdded", stream, None, 0, added)
    mutter_call(mutter_session, MUTTER + ".Session", "Start")
    GLib.timeout_add_seconds(10, loop.quit)
    loop.run()
    bus.signal_unsubscribe(subscription)
    bus.signal_subscribe(MUTTER, MUTTER + ".Session", "Closed", mutter_session, None, 0,
                         lambda *unused: close_session(path, tell=True))
    if not node:
        raise RuntimeError("mutter announced no PipeWire stream")
    params = mutter_call(stream, "org.freedesktop.DBus.Properties", "Get",
                         GLib.Variant("(ss)", (MUTTER + ".Stream", "Parameters")), "(v)")[0]
    properties = {"source_type": GLib.Variant("u", 1)}
    if "size" in params:
        properties["size"] = GLib.Variant("(ii)", tuple(params["size"]))
    if "position" in params:
        properties["position"] = GLib.Variant("(ii)", tuple(params["position"]))
    log("started", path, "node", node[0], "cursor mode", cursor)
    return node[0], properties


def on_call(connection, sender, path, interface, method, args, invocation):
    if method == "CreateSession":
        handle, session_path, app_id, options = args.unpack()
        registration = bus.register_object(session_path, NODE.interfaces[1], on_session_call,
                                           on_session_property, None)
        sessions[session_path] = {"options": {}, "registration": registration}
        log("create session method invoked", session_path)
        invocation.return_value(GLib.Variant("(ua{sv})", (0, {"session_id": GLib.Variant("s", session_path)})))
    elif method == "SelectSources":
        handle, session_path, app_id, options = args.unpack()
        sessions[session_path]["options"] = options
        if "restore_data" in options:
            log("restore data available", session_path)
        invocation.return_value(GLib.Variant("(ua{sv})", (0, {})))
    elif method == "Start":
        handle, session_path, app_id, parent, options = args.unpack()
        try:
            node, properties = start_cast(session_path)
        except (GLib.Error, RuntimeError) as error:
            log("start failed:", error)
            invocation.return_value(GLib.Variant("(ua{sv})", (2, {})))
            return
        results = {"streams": GLib.Variant("a(ua{sv})", [(node, properties)])}
        persist = sessions[session_path]["options"].get("persist_mode", 0)
        if persist:
            results["persist_mode"] = GLib.Variant("u", persist)
            results["restore_data"] = GLib.Variant("(suv)", ("mutter-test", 1, GLib.Variant("s", CONNECTOR)))
        invocation.return_value(GLib.Variant("(ua{sv})", (0, results)))


def on_property(connection, sender, path, interface, name):
    # Monitors only; every cursor mode mutter knows.
    return GLib.Variant("u", {"AvailableSourceTypes": 1, "AvailableCursorModes": 7, "version": 4}[name])


bus.register_object("/org/freedesktop/portal/desktop", NODE.interfaces[0], on_call, on_property, None)
Gio.bus_own_name_on_connection(bus, sys.argv[1], Gio.BusNameOwnerFlags.NONE, None, None)
log("ready")
GLib.MainLoop().run()
