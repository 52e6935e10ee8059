"""Shared test configuration.

The modules under test are imported as the host imports them
(``ombrel.gateway.ws``, ...). ``host/`` (on ``sys.path`` through the pytest
configuration) holds the stand-in host: the host application's own modules
(``ombrel.gateway.server``, ``ombrel.config``, ...) that our modules reach at
run time.
"""

import os

import pytest

from chat_completions import ChatServer
from ombrel.skills.system_chromium import browsers_layout


@pytest.fixture(scope="session")
def browsers_folder(tmp_path_factory):
    """A PLAYWRIGHT_BROWSERS_PATH folder laid out over Debian's Chromium
    (nothing is downloaded), or None without Playwright or Chromium."""
    return browsers_layout(tmp_path_factory.mktemp("ms-playwright"))


@pytest.fixture(scope="session")
def browsers_path(browsers_folder):
    """The same folder; the test is skipped without it."""
    if browsers_folder is None:
        pytest.skip("needs Playwright and Debian's chromium (apt-get install chromium)")
    return browsers_folder


@pytest.fixture
def chat_server(monkeypatch):
    """A ChatServer (chat_completions.py) on 127.0.0.1 that the OpenAI client
    library is pointed at through its own environment settings."""
    with ChatServer.running() as server:
        monkeypatch.setenv("OPENAI_BASE_URL", server.base_url)
        monkeypatch.setenv("OPENAI_API_KEY", "sk-test")
        yield server


SESSION = os.path.join(os.path.dirname(__file__), "vantor", "desktop", "session.py")
GTK_WINDOW = os.path.join(os.path.dirname(__file__), "vantor", "desktop", "gtk_window.py")
DEBIAN_PYTHON = "/usr/bin/python3"
SECOND_WINDOW = "Vantor second window"


@pytest.fixture(scope="session")
def desktop(tmp_path_factory):
    """A desktop session (vantor/desktop/session.py) shared by the tests that
    need one: its DISPLAY, DBUS_SESSION_BUS_ADDRESS, XDG_RUNTIME_DIR, XAUTHORITY, window_id,
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


def gtk_window(desktop, title, flag):
    """Runs vantor/desktop/gtk_window.py TITLE FLAG in the shared desktop
    session until it can be read on the accessibility bus; closes it after
    the test."""
    import importlib.util
    import subprocess
    import time

    spec = importlib.util.spec_from_file_location("vantor_session", SESSION)
    session = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(session)
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    env.update({name: desktop[name] for name in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS",
                                                  "XDG_RUNTIME_DIR", "XAUTHORITY")},
               NO_AT_BRIDGE="0", GTK_A11Y="atspi", GNOME_ACCESSIBILITY="1",
               GSETTINGS_BACKEND="memory")
    window = subprocess.Popen([DEBIAN_PYTHON, GTK_WINDOW, title, flag], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        window.stdout.readline()   # its X window id, once it is shown
        deadline = time.monotonic() + 30
        while subprocess.run([DEBIAN_PYTHON, "-c", session.PROBE, title], env=env,
                             stderr=subprocess.DEVNULL, timeout=30).returncode:
            if time.monotonic() > deadline:
                pytest.fail(f"the window {title!r} did not appear on the accessibility bus")
            time.sleep(0.1)
        yield title
    finally:
        window.terminate()
        window.wait(10)
        # The keyboard focus goes back to the first window, which had it
        # before (X gives it to the root when the window that had it goes).
        subprocess.run(["xdotool", "windowfocus", "--sync", desktop["window_id"]], env=env,
                       stderr=subprocess.DEVNULL, timeout=10)


@pytest.fixture
def second_window(desktop):
    """A second GTK window in the shared desktop session, right of the first
    (vantor/desktop/gtk_window.py --beside: a click on its button adds a
    label above it a second later). Answers its title."""
    yield from gtk_window(desktop, SECOND_WINDOW, "--beside")


@pytest.fixture
def action_window(desktop):
    """A GTK window that shows what was done to it (gtk_window.py --actions).
    Answers its title."""
    yield from gtk_window(desktop, "Vantor action window", "--actions")
