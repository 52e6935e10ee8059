"""Fixtures of the reference host's tests: the app run as a user runs it, on
the shared desktop session (Xvfb with a GTK window) when there is one, and
Debian's Chromium driven by Playwright.

Page screenshots are kept under build/screenshots/ (or $OMBREL_SCREENSHOTS);
the run's summary prints the folder."""
from __future__ import annotations

import os
import sys
import time

import pytest

from reference_support import BROKEN_SKILL, ROOT, SCREENSHOTS, App

@pytest.fixture(scope="session")
def desktop_env(request):
    """The shared desktop session's settings for the app (its display, its
    buses, a python3 with gi first on PATH), or None where it cannot run."""
    try:
        info = request.getfixturevalue("desktop")
    except pytest.skip.Exception:
        return None
    return {"DISPLAY": info["DISPLAY"], "DBUS_SESSION_BUS_ADDRESS": info["DBUS_SESSION_BUS_ADDRESS"],
            "XDG_RUNTIME_DIR": info["XDG_RUNTIME_DIR"], "XAUTHORITY": info["XAUTHORITY"],
            "PATH": info["bin"] + os.pathsep + os.environ.get("PATH", "")}


@pytest.fixture(scope="session")
def app_env(tmp_path_factory, desktop_env, browsers_folder):
    """The app's environment: a home, skills and data of its own, the
    desktop's display (when there is one), no model endpoint."""
    base = tmp_path_factory.mktemp("reference-host")
    skills = base / "skills"
    skills.mkdir()
    (skills / "broken_skill.py").write_text(BROKEN_SKILL)
    env = {**os.environ, **(desktop_env or {})}
    for name in ("OPENAI_API_KEY", "OPENAI_BASE_URL", "OMBREL_DATA_DIR", "OMBREL_SKILLS_PATH", "OMBREL_TOKEN"):
        env.pop(name, None)
    if browsers_folder is not None:
        env["PLAYWRIGHT_BROWSERS_PATH"] = str(browsers_folder)
    site = []
    if "LD_PRELOAD" in env:
        # Under the memory checks the app runs with the sanitizer runtime
        # preloaded; the programs it starts (the skills' Chromium, the
        # desktop tools) are not ours to check and must not inherit it.
        (base / "site").mkdir()
        (base / "site" / "sitecustomize.py").write_text('import os\nos.environ.pop("LD_PRELOAD", None)\n')
        site.append(str(base / "site"))
    env.update(HOME=str(base / "home"),
               OMBREL_SKILLS_PATH=os.pathsep.join([str(skills), str(ROOT / "examples" / "skills")]),
               PYTHONPATH=os.pathsep.join(site + [p for p in sys.path if p]))
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
