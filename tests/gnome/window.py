#!/usr/bin/python3
# A GTK 4 window for the GNOME tests, filled with one colour and driven by lines on standard
# input: "color RRGGBB", "resize W H", "close". Prints "ready" once it is shown.
#   window.py APP_ID TITLE WIDTH HEIGHT RRGGBB [--decorated]
# Undecorated, the window is its colour alone; decorated, it has GTK's header bar and its
# client-side shadow, which a listing must not count as the window.
import sys

import gi

gi.require_version("Gtk", "4.0")
from gi.repository import GLib, Gtk  # noqa: E402

app_id, title, width, height, colour = sys.argv[1:6]
decorated = "--decorated" in sys.argv[6:]
css = Gtk.CssProvider()


def paint(rgb):
    css.load_from_string(f"window, .fill {{ background: #{rgb}; }}")


def activate(app):
    window = Gtk.ApplicationWindow(application=app, title=title)
    window.set_default_size(int(width), int(height))
    window.set_decorated(decorated)
    fill = Gtk.Box()
    fill.add_css_class("fill")
    window.set_child(fill)
    Gtk.StyleContext.add_provider_for_display(window.get_display(), css, 800)
    paint(colour)

    def command(channel, _condition):
        line = channel.readline()
        if not line:
            app.quit()
            return False
        words = line.split()
        if words[:1] == ["color"]:
            paint(words[1])
        elif words[:1] == ["resize"]:
            window.set_default_size(int(words[1]), int(words[2]))
        elif words[:1] == ["close"]:
            app.quit()
            return False
        print("ok", flush=True)
        return True

    GLib.io_add_watch(GLib.IOChannel.unix_new(0), GLib.IO_IN | GLib.IO_HUP, command)
    window.connect("map", lambda _w: GLib.timeout_add(200, lambda: print("ready", flush=True)))
    window.present()


app = Gtk.Application(application_id=app_id)
app.connect("activate", activate)
app.run([])
