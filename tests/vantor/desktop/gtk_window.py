"""A small GTK 3 window for the desktop tests: a title, a push button, a text
entry, a check button, a spin button (which has a value) and a label. Run by Debian's python3 (which has gi)
inside the test session. Prints its X window id once it is shown, and names
itself the root window's active window (there is no window manager to do
it, and `xdotool getactivewindow` reads that property).

    gtk_window.py TITLE [--beside]

With --beside it is a second window, at x=420, right of the first: it
leaves the focus and the active window as they are, and a click on its push
button adds a label "Appeared later" above it one second afterwards (every
element then has another place in the window).
"""
import ctypes
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("GdkX11", "3.0")
from gi.repository import GdkX11, GLib, Gtk  # noqa: E402,F401


def announce_active(xid):
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XDefaultRootWindow.restype = ctypes.c_ulong
    x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XChangeProperty.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong,
                                    ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                    ctypes.c_void_p, ctypes.c_int]
    x11.XFlush.argtypes = [ctypes.c_void_p]
    display = x11.XOpenDisplay(None)
    root = x11.XDefaultRootWindow(display)
    active = x11.XInternAtom(display, b"_NET_ACTIVE_WINDOW", 0)
    supported = x11.XInternAtom(display, b"_NET_SUPPORTED", 0)
    xa_atom, xa_window, replace = 4, 33, 0
    value = (ctypes.c_ulong * 1)(active)
    x11.XChangeProperty(display, root, supported, xa_atom, 32, replace, value, 1)
    value = (ctypes.c_ulong * 1)(xid)
    x11.XChangeProperty(display, root, active, xa_window, 32, replace, value, 1)
    x11.XFlush(display)


def main():
    beside = "--beside" in sys.argv[2:]
    window = Gtk.Window(title=sys.argv[1])
    window.set_default_size(300, 200)
    window.connect("destroy", Gtk.main_quit)
    box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=4)
    button = Gtk.Button(label="Press me")
    box.add(button)
    entry = Gtk.Entry()
    entry.set_text("typed text")
    box.add(entry)
    box.add(Gtk.CheckButton(label="Tick me"))
    box.add(Gtk.SpinButton.new_with_range(0, 100, 1))
    box.get_children()[-1].set_value(42)
    box.add(Gtk.Label(label="A plain label"))
    window.add(box)
    if beside:
        window.move(420, 0)
        window.set_accept_focus(False)

        def appear():
            label = Gtk.Label(label="Appeared later")
            box.add(label)
            box.reorder_child(label, 0)
            box.show_all()
            return False

        button.connect("clicked", lambda _: GLib.timeout_add(1000, appear))
    window.show_all()

    def shown():
        gdk_window = window.get_window()
        xid = gdk_window.get_xid()
        if not beside:
            gdk_window.focus(0)
            announce_active(xid)
        print(xid, flush=True)
        return False

    GLib.idle_add(shown)
    Gtk.main()


main()
