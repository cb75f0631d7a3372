#!/usr/bin/python3
"""A full-screen GTK 3 window in side-by-side zones, each showing the cursor named on the command
line (CSS cursor names, e.g. default text pointer crosshair). Prints READY at its first full-screen frame."""
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, Gtk  # noqa: E402

names = sys.argv[1:] or ["default"]
window = Gtk.Window(title="cursor zones")
window.connect("destroy", Gtk.main_quit)
box = Gtk.Box(orientation=Gtk.Orientation.HORIZONTAL, homogeneous=True)
window.add(box)


def show_cursor(widget, name):
    widget.get_window().set_cursor(Gdk.Cursor.new_from_name(widget.get_display(), name))


for name in names:
    zone = Gtk.DrawingArea()
    zone.connect("realize", show_cursor, name)
    box.pack_start(zone, True, True, 0)





def on_first_frame(widget, clock):
    print("READY", flush=True)
    return False


def on_state(widget, event):
    # The zones lie where the tests expect them only once the window fills the monitor.
    if event.new_window_state & Gdk.WindowState.FULLSCREEN and not getattr(widget, "announced", False):
        widget.announced = True
        widget.add_tick_callback(on_first_frame)
    return False


window.connect("window-state-event", on_state)
window.fullscreen()
window.show_all()
Gtk.main()
