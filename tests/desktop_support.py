"""A real desktop for tests: Xvfb, a D-Bus session bus (the accessibility
bus starts from it on demand) and a GTK window, run by the system's python3
with GTK's introspection data.

    with Desktop() as desktop:          # desktop.env: DISPLAY, DBUS_..., PATH
        desktop.open_window("Ombrel test window")

``desktop.env`` puts a python3 that has ``gi`` first on PATH, since the
desktop controller runs its accessibility script with the ``python3`` it
finds there.
"""
from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

WINDOW = r'''
import sys
import gi
gi.require_version("Gtk", "3.0")
from gi.repository import Gtk

window = Gtk.Window(title=sys.argv[1])
window.set_default_size(420, 220)
box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=8, margin=16)
label = Gtk.Label(label="Nothing pressed yet")
button = Gtk.Button(label="Press me")
button.connect("clicked", lambda _: label.set_text("The button was pressed"))
entry = Gtk.Entry()
entry.set_text("hello")
box.pack_start(Gtk.Label(label="A window for the desktop tests"), False, False, 0)
box.pack_start(entry, False, False, 0)
box.pack_start(Gtk.CheckButton(label="Remember me"), False, False, 0)
box.pack_start(button, False, False, 0)
box.pack_start(label, False, False, 0)
window.add(box)
window.connect("destroy", Gtk.main_quit)
window.show_all()
window.present()
print("ready", flush=True)
Gtk.main()
'''


def gi_python() -> str | None:
    """A python3 that can import GTK 3 through gi, or None."""
    for candidate in dict.fromkeys(filter(None, [shutil.which("python3"), "/usr/bin/python3"])):
        probe = subprocess.run([candidate, "-c", "import gi; gi.require_version('Gtk', '3.0')"],
                               capture_output=True)
        if probe.returncode == 0:
            return candidate
    return None


def missing() -> str | None:
    """Why a desktop cannot be started here, or None."""
    for tool in ("Xvfb", "dbus-daemon"):
        if shutil.which(tool) is None:
            return f"{tool} is not installed"
    if gi_python() is None:
        return "no python3 with gi and GTK 3 (python3-gi, gir1.2-gtk-3.0)"
    return None


class Desktop:
    def __init__(self, size: str = "1280x800x24") -> None:
        self.size = size
        self.processes: list[subprocess.Popen] = []
        self.folder = Path(tempfile.mkdtemp(prefix="ombrel-desktop-"))
        self.env: dict[str, str] = {}

    def __enter__(self) -> "Desktop":
        try:
            self._start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def _start(self) -> None:
        read, write = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", self.size, "-nolisten", "tcp"],
                                pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        self.processes.append(xvfb)
        with os.fdopen(read) as displayfd:
            display = displayfd.readline().strip()
        if not display:
            raise RuntimeError("Xvfb did not start")
        bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.processes.append(bus)
        address = bus.stdout.readline().strip()
        if not address:
            raise RuntimeError("dbus-daemon did not start")
        bin_dir = self.folder / "bin"
        bin_dir.mkdir()
        (bin_dir / "python3").symlink_to(gi_python())
        self.env = {"DISPLAY": f":{display}", "DBUS_SESSION_BUS_ADDRESS": address,
                    "PATH": f"{bin_dir}{os.pathsep}{os.environ.get('PATH', '')}",
                    "XDG_RUNTIME_DIR": str(self.folder), "NO_AT_BRIDGE": "0", "GTK_A11Y": "atspi"}

    def environ(self, **extra: str) -> dict[str, str]:
        """os.environ with this desktop's settings and ``extra``."""
        return {**os.environ, **self.env, **extra}

    def open_window(self, title: str, timeout: float = 20) -> subprocess.Popen:
        window = subprocess.Popen([gi_python(), "-c", WINDOW, title], env=self.environ(),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.processes.append(window)
        deadline = time.monotonic() + timeout
        while window.stdout.readline().strip() != "ready":
            if window.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the GTK window did not open: " + window.stderr.read())
        return window

    def close(self) -> None:
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        self.processes.clear()
        shutil.rmtree(self.folder, ignore_errors=True)
