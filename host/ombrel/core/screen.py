"""Screenshots of the X display the host runs on.

The picture is taken by a child process of a system interpreter that has
GTK's introspection data (Debian's python3-gi and gir1.2-gtk-3.0): the
host's own interpreter needs no imaging library. Without a display, or
without such an interpreter, ``capture()`` says why and ``placeholder()``
gives an image to show instead.
"""

from __future__ import annotations

import asyncio
import os
import shutil
import struct
import zlib

CAPTURE = """
import sys
import gi
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk
root = Gdk.get_default_root_window()
if root is None:
    sys.exit("cannot open the display")
width, height = root.get_width(), root.get_height()
pixbuf = Gdk.pixbuf_get_from_window(root, 0, 0, width, height)
ok, data = pixbuf.save_to_bufferv("png", [], [])
sys.stdout.buffer.write(data)
"""

_interpreter: str | None = None


def display_missing() -> str | None:
    """Why there is no desktop to look at, or None when there is one."""
    if os.name == "nt" or os.uname().sysname == "Darwin":
        return None
    if not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")):
        return ("No display: DISPLAY is not set, so there is no desktop to look at "
                "(run the app in a desktop session, or under Xvfb)")
    return None


async def _gtk_interpreter() -> str | None:
    """The first of python3 on PATH and /usr/bin/python3 that can import Gdk."""
    global _interpreter
    if _interpreter is None:
        _interpreter = ""
        for candidate in dict.fromkeys(filter(None, [shutil.which("python3"), "/usr/bin/python3"])):
            try:
                child = await asyncio.create_subprocess_exec(
                    candidate, "-c", "import gi; gi.require_version('Gdk', '3.0'); from gi.repository import Gdk",
                    stdout=asyncio.subprocess.DEVNULL, stderr=asyncio.subprocess.DEVNULL)
                if await asyncio.wait_for(child.wait(), 10) == 0:
                    _interpreter = candidate
                    break
            except (OSError, asyncio.TimeoutError):
                continue
    return _interpreter or None


async def capture(timeout: float = 15) -> tuple[bytes | None, str]:
    """A PNG of the whole display and "", or None and the reason."""
    missing = display_missing()
    if missing:
        return None, missing
    interpreter = await _gtk_interpreter()
    if interpreter is None:
        return None, "No screenshot tool: install python3-gi and gir1.2-gtk-3.0"
    child = await asyncio.create_subprocess_exec(
        interpreter, "-c", CAPTURE, stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE)
    try:
        out, err = await asyncio.wait_for(child.communicate(), timeout)
    except asyncio.TimeoutError:
        child.kill()
        await child.wait()
        return None, f"The screenshot took longer than {timeout:g} s"
    if child.returncode != 0 or not out.startswith(b"\x89PNG"):
        lines = err.decode(errors="replace").strip().splitlines()
        return None, "Screenshot failed: " + (lines[-1] if lines else f"exit status {child.returncode}")
    return out, ""


def placeholder(width: int = 320, height: int = 180) -> bytes:
    """A grey PNG with a diagonal cross: the picture shown when there is no
    screen to capture."""
    rows = []
    for y in range(height):
        row = bytearray(b"\x00")
        for x in range(width):
            on_cross = abs(x * height - y * width) < width * 2 or abs((width - x) * height - y * width) < width * 2
            edge = x < 2 or y < 2 or x >= width - 2 or y >= height - 2
            row += b"\x90\x96\xa0" if on_cross or edge else b"\xe4\xe7\xec"
        rows.append(bytes(row))

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))
