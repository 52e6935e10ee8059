"""Fixtures of the reference host's tests: the app run as a user runs it (a
child process on 127.0.0.1, restartable on the same port), a desktop under
Xvfb with a GTK window, and Debian's Chromium driven by Playwright.

Page screenshots are kept under build/screenshots/ (or $OMBREL_SCREENSHOTS);
the run's summary prints the folder."""
from __future__ import annotations

import os
import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import pytest

import desktop_support
from ombrel.skills.system_chromium import browsers_layout

ROOT = Path(__file__).resolve().parents[2]
APP = ROOT / "examples" / "reference_host" / "app.py"
SCREENSHOTS = Path(os.environ.get("OMBREL_SCREENSHOTS") or ROOT / "build" / "screenshots")

BROKEN_SKILL = "async def run(ctx, params):\n    return {'oops': \n"


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class App:
    """The reference host in a child process; ``restart()`` keeps the port."""

    def __init__(self, env: dict[str, str], data_dir: Path) -> None:
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}/"
        self.env = env
        self.data_dir = data_dir
        self.process: subprocess.Popen | None = None
        self.output = data_dir.parent / "app.log"

    def start(self) -> None:
        with open(self.output, "a") as log:
            self.process = subprocess.Popen(
                [sys.executable, str(APP), "--port", str(self.port), "--data-dir", str(self.data_dir)],
                env=self.env, stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 30
        while True:
            try:
                urllib.request.urlopen(self.url + "api/info", timeout=2).read()
                return
            except OSError:
                assert self.process.poll() is None and time.monotonic() < deadline, self.output.read_text()
                time.sleep(0.1)

    def stop(self) -> None:
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def restart(self) -> None:
        self.stop()
        self.start()


@pytest.fixture(scope="session")
def desktop():
    """An Xvfb desktop with one GTK window; None where it cannot run."""
    if desktop_support.missing():
        yield None
        return
    with desktop_support.Desktop() as session:
        session.open_window("Ombrel test window")
        yield session


@pytest.fixture(scope="session")
def browsers_folder(tmp_path_factory):
    """A PLAYWRIGHT_BROWSERS_PATH laid out over Debian's Chromium, or None."""
    return browsers_layout(tmp_path_factory.mktemp("ms-playwright"))


@pytest.fixture(scope="session")
def browsers_path(browsers_folder):
    if browsers_folder is None:
        pytest.skip("Playwright or Debian's chromium is not installed")
    return browsers_folder


@pytest.fixture(scope="session")
def app_env(tmp_path_factory, desktop, browsers_folder):
    """The app's environment: a home, skills and data of its own, the
    desktop's display (when there is one), no model endpoint."""
    base = tmp_path_factory.mktemp("reference-host")
    skills = base / "skills"
    skills.mkdir()
    (skills / "broken_skill.py").write_text(BROKEN_SKILL)
    env = desktop.environ() if desktop else dict(os.environ)
    for name in ("OPENAI_API_KEY", "OPENAI_BASE_URL", "OMBREL_DATA_DIR", "OMBREL_SKILLS_PATH"):
        env.pop(name, None)
    if browsers_folder is not None:
        env["PLAYWRIGHT_BROWSERS_PATH"] = str(browsers_folder)
    env.update(HOME=str(base / "home"),
               OMBREL_SKILLS_PATH=os.pathsep.join([str(skills), str(ROOT / "examples" / "skills")]),
               PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return env, base / "data"


@pytest.fixture(scope="session")
def app(app_env):
    env, data_dir = app_env
    running = App(env, data_dir)
    running.start()
    yield running
    running.stop()


STARTED = time.time()


def pytest_terminal_summary(terminalreporter):
    if SCREENSHOTS.is_dir() and any(p.stat().st_mtime >= STARTED for p in SCREENSHOTS.glob("*.png")):
        terminalreporter.write_line(f"page screenshots: {SCREENSHOTS}")
