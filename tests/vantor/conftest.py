"""Fixtures of the desktop controller tests.

Windows cannot run here: the Windows paths run against the small models of
pywinauto, uiautomation, PyAutoGUI and ``ctypes.windll`` in
``fakes/vantor_fakes.py``, put into ``sys.modules`` for one test at a time,
with ``vantor.SYSTEM`` set to "Windows". Nor can macOS: its paths run
``fakes/fake_osascript.py``'s stand-in for ``osascript``, found on ``PATH``,
with ``vantor.SYSTEM`` set to "Darwin".
"""

import os
import sys
import threading

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "fakes"))

import vantor_fakes  # noqa: E402
from fake_osascript import Osascript  # noqa: E402
from ombrel.pc import vantor  # noqa: E402

LIBRARIES = ("pywinauto", "pywinauto.keyboard", "uiautomation", "pyautogui")


@pytest.fixture(autouse=True)
def clean_modules():
    """Whatever a test puts into or imports into ``sys.modules`` is undone."""
    saved = dict(sys.modules)
    yield
    for name in [name for name in sys.modules if name not in saved]:
        del sys.modules[name]
    for name, module in saved.items():
        if sys.modules.get(name) is not module:
            sys.modules[name] = module


@pytest.fixture
def no_libraries(monkeypatch):
    """None of the Windows libraries can be imported (as on this machine)."""
    for name in LIBRARIES:
        monkeypatch.setitem(sys.modules, name, None)


@pytest.fixture
def windows(monkeypatch):
    """SYSTEM is "Windows"; returns a function that installs a world."""
    monkeypatch.setattr(vantor, "SYSTEM", "Windows")

    def install(world, **present):
        vantor_fakes.install(world, monkeypatch, **present)
        return world

    return install


@pytest.fixture
def loop_thread():
    return threading.get_ident()


@pytest.fixture
def osascript(tmp_path, monkeypatch):
    """A fake ``osascript`` first on ``PATH``."""
    return Osascript(tmp_path / "osascript-bin", monkeypatch)


@pytest.fixture
def macos(monkeypatch, no_libraries, osascript):
    """SYSTEM is "Darwin", ``osascript`` is the fake, PyAutoGUI is missing."""
    monkeypatch.setattr(vantor, "SYSTEM", "Darwin")
    return osascript


@pytest.fixture
def linux(desktop, monkeypatch):
    """SYSTEM is "Linux"; the session's display and bus; Debian's python3 and
    xdotool on PATH."""
    monkeypatch.setattr(vantor, "SYSTEM", "Linux")
    for name in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "XAUTHORITY"):
        monkeypatch.setenv(name, desktop[name])
    monkeypatch.setenv("PATH", f"{desktop['bin']}{os.pathsep}{os.environ['PATH']}")
    return desktop
