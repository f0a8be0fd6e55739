#!/usr/bin/python3
# Holds a ScreenCast of one monitor open for another reader (gst-launch): prints the PipeWire
# node, then keeps the session until its standard input closes.
#   cast.py CONNECTOR
import sys

from gi.repository import Gio, GLib

bus = Gio.bus_get_sync(Gio.BusType.SESSION)


def call(path, iface, method, args, reply):
    return bus.call_sync("org.gnome.Mutter.ScreenCast", path, iface, method, args,
                         GLib.VariantType(reply), Gio.DBusCallFlags.NONE, 5000, None)


session = call("/org/gnome/Mutter/ScreenCast", "org.gnome.Mutter.ScreenCast", "CreateSession",
               GLib.Variant("(a{sv})", ({},)), "(o)")[0]
stream = call(session, "org.gnome.Mutter.ScreenCast.Session", "RecordMonitor",
              GLib.Variant("(sa{sv})", (sys.argv[1], {"cursor-mode": GLib.Variant("u", 1)})),
              "(o)")[0]
loop = GLib.MainLoop()


def added(_c, _s, _p, _i, _m, args):
    print(args[0], flush=True)


bus.signal_subscribe("org.gnome.Mutter.ScreenCast", "org.gnome.Mutter.ScreenCast.Stream",
                     "PipeWireStreamAdded", stream, None, Gio.DBusSignalFlags.NONE, added)
call(session, "org.gnome.Mutter.ScreenCast.Session", "Start", None, "()")
GLib.io_add_watch(GLib.IOChannel.unix_new(0), GLib.IO_IN | GLib.IO_HUP,
                  lambda *_: loop.quit() or False)
loop.run()
