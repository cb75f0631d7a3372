#!/usr/bin/python3
"""A GTK 3 window of known controls for accessibility tests.

Lays out, top to bottom at fixed positions inside a 400x400 window: a text entry, a button titled
"Crop", a button titled "Save", a disabled check box, a plain label, and a horizontal split pane
whose handle sits at a known place. Prints one line per control, "NAME X Y W H" in screen
coordinates, then "READY"; focuses the entry on the line "focus entry"; ends on "quit" or at end of
input.
"""
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402


def main():
    window = Gtk.Window(title="Accessible controls")
    window.set_default_size(400, 400)
    window.move(200, 150)
    fixed = Gtk.Fixed()
    window.add(fixed)

    entry = Gtk.Entry()
    entry.set_size_request(300, 30)
    fixed.put(entry, 20, 10)
    crop = Gtk.Button(label="Crop")
    crop.set_size_request(120, 40)
    fixed.put(crop, 20, 60)
    save = Gtk.Button(label="Save")
    save.set_size_request(120, 40)
    fixed.put(save, 160, 60)
    check = Gtk.CheckButton(label="Disabled option")
    check.set_sensitive(False)
    check.set_size_request(200, 30)
    fixed.put(check, 20, 120)
    label = Gtk.Label(label="Just a caption")
    label.set_size_request(200, 30)
    fixed.put(label, 20, 170)
    paned = Gtk.Paned(orientation=Gtk.Orientation.HORIZONTAL)
    paned.set_size_request(300, 100)
    paned.pack1(Gtk.Label(label="Left"), True, False)
    paned.pack2(Gtk.Label(label="Right"), True, False)
    paned.set_position(150)
    fixed.put(paned, 20, 220)
    controls = {"entry": entry, "crop": crop, "save": save, "check": check, "label": label, "paned": paned}

    def report():
        for name, widget in controls.items():
            allocation = widget.get_allocation()
            origin = widget.get_window().get_origin()
            x = origin.x + allocation.x
            y = origin.y + allocation.y
            print(name, x, y, allocation.width, allocation.height, flush=True)
        handle = paned.get_handle_window()
        hx, hy = handle.get_origin()[1:]
        print("paned-handle", hx, hy, handle.get_width(), handle.get_height(), flush=True)
        print("READY", flush=True)
        return False

    def on_line(channel, condition):
        line = channel.readline()
        if not line or line.strip() == "quit":
            Gtk.main_quit()
            return False
        if line.strip() == "focus entry":
            window.present()
            entry.grab_focus()
            print("OK", flush=True)
        elif line.strip() == "focus save":
            window.present()
            save.grab_focus()
            print("OK", flush=True)
        return True

    window.connect("destroy", Gtk.main_quit)
    window.show_all()
    # Report once the window is mapped and everything pending (layout, painting) has run.
    window.connect("map-event", lambda *args: GLib.idle_add(report, priority=GLib.PRIORITY_LOW) and False)
    GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()), GLib.IO_IN | GLib.IO_HUP, on_line)
    Gtk.main()


if __name__ == "__main__":
    main()
