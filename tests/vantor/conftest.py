"""Fixtures of the desktop controller tests.

Windows cannot run here: the Windows paths run against the small models of
pywinauto, uiautomation, PyAutoGUI and ``ctypes.windll`` in
``fakes/vantor_fakes.py``, put into ``sys.modules`` for one test at a time,
with ``vantor.SYSTEM`` set to "Windows".
"""

import os
import sys
import threading

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "fakes"))

import vantor_fakes  # noqa: E402
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


SESSION = os.path.join(os.path.dirname(__file__), "desktop", "session.py")
DEBIAN_PYTHON = "/usr/bin/python3"


@pytest.fixture(scope="session")
def desktop(tmp_path_factory):
    """A desktop session (desktop/session.py) shared by the tests that need
    one: its DISPLAY, DBUS_SESSION_BUS_ADDRESS, XDG_RUNTIME_DIR, window_id,
    and bin, a directory whose python3 is Debian's (the one with gi)."""
    import json
    import shutil
    import subprocess

    if not (os.path.exists(DEBIAN_PYTHON) and shutil.which("Xvfb") and shutil.which("xdotool")):
        pytest.skip("needs Xvfb, xdotool and Debian's python3 with gi")
    # The session's programs are not ours: no sanitizer runtime preloaded
    # into them (the memory checks preload one into the test process).
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    session = subprocess.Popen([DEBIAN_PYTHON, SESSION, "Vantor test window"], env=env,
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        info = json.loads(session.stdout.readline() or '{"error": "no answer"}')
        if "error" in info:
            pytest.fail(f"desktop session: {info['error']}")
        bin_dir = tmp_path_factory.mktemp("bin")
        (bin_dir / "python3").symlink_to(DEBIAN_PYTHON)
        info["bin"] = str(bin_dir)
        yield info
    finally:
        session.stdin.close()
        try:
            session.wait(15)
        except subprocess.TimeoutExpired:
            session.kill()
            session.wait()
