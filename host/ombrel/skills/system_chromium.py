"""Lets Playwright use the system's Chromium (Debian's chromium package)
instead of a browser build that ``playwright install`` would download.

Playwright looks for its browsers under ``PLAYWRIGHT_BROWSERS_PATH``, in
folders named after each browser and its revision (listed in the installed
package's browsers.json). ``browsers_layout(root)`` makes such a folder
whose executables are links to the system's Chromium; pointing
``PLAYWRIGHT_BROWSERS_PATH`` at it is enough for ``chromium.launch()``.
"""

from __future__ import annotations

import json
import os
import shutil
from pathlib import Path

# Where Playwright expects each browser's executable inside its folder.
EXECUTABLES = {
    "chromium": ["chrome-linux64/chrome", "chrome-linux/chrome", "chrome-linux-arm64/chrome"],
    "chromium-headless-shell": [
        "chrome-headless-shell-linux64/chrome-headless-shell",
        "chrome-headless-shell-linux-arm64/chrome-headless-shell",
        "chrome-linux/headless_shell"],
}


def system_chromium() -> str | None:
    return shutil.which("chromium") or shutil.which("chromium-browser")


def browsers_layout(root: Path, chromium: str | None = None) -> Path | None:
    """Fill ``root`` with the browser folders of the installed Playwright,
    linked to ``chromium`` (default: the system's). Returns ``root``, or None
    when Playwright or a system Chromium is missing."""
    chromium = chromium or system_chromium()
    try:
        import playwright
    except ImportError:
        return None
    if chromium is None:
        return None
    listings = sorted(Path(playwright.__file__).parent.glob("driver/**/browsers.json"))
    if not listings:
        return None
    for browser in json.loads(listings[0].read_text())["browsers"]:
        for executable in EXECUTABLES.get(browser["name"], []):
            folder = Path(root) / f"{browser['name'].replace('-', '_')}-{browser['revision']}"
            link = folder / executable
            link.parent.mkdir(parents=True, exist_ok=True)
            if link.is_symlink() or link.exists():
                link.unlink()
            link.symlink_to(chromium)
            (folder / "INSTALLATION_COMPLETE").touch()
    return Path(root)


def use_system_chromium(root: Path) -> bool:
    """Point Playwright at the system's Chromium unless the user chose a
    browsers folder or installed Playwright's own; True when it now uses it."""
    if os.environ.get("PLAYWRIGHT_BROWSERS_PATH"):
        return False
    if any((Path.home() / ".cache" / "ms-playwright").glob("chromium*")):
        return False  # Playwright's own browsers are installed
    if browsers_layout(root) is None:
        return False
    os.environ["PLAYWRIGHT_BROWSERS_PATH"] = str(root)
    return True
