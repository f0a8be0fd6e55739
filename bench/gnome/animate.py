#!/usr/bin/python3
# A window that changes every frame of the shell's clock, for the GNOME benchmark: full
# screen ("full") or 320x240 at the top left ("small"), undecorated, its colour stepping each
# frame so that the shell has a new picture to cast every refresh.
import sys

import gi

gi.require_version("Gtk", "4.0")
from gi.repository import Gtk  # noqa: E402

mode = sys.argv[1]


class Fill(Gtk.Widget):
    step = 0

    def do_snapshot(self, snapshot):
        from gi.repository import Gdk, Graphene
        self.step = (self.step + 7) % 256
        colour = Gdk.RGBA()
        colour.parse(f"rgb({self.step},{255 - self.step},128)")
        rect = Graphene.Rect().init(0, 0, self.get_width(), self.get_height())
        snapshot.append_color(colour, rect)


def activate(app):
    window = Gtk.ApplicationWindow(application=app, title="Animation")
    window.set_decorated(False)
    fill = Fill()
    window.set_child(fill)
    if mode == "full":
        window.fullscreen()
    else:
        window.set_default_size(320, 240)
    fill.add_tick_callback(lambda w, _clock: w.queue_draw() or True)
    window.present()
    print("ready", flush=True)


app = Gtk.Application(application_id="io.github.lumatap.Animation")
app.connect("activate", activate)
app.run([])
