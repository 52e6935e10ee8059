"""The Linux backend against a real desktop: Xvfb, a D-Bus session with the
AT-SPI bus, a GTK 3 window, Debian's python3 (with gi) first on PATH and the
real xdotool."""

import os
import shutil

import pytest

from ombrel.pc import vantor

TITLE = "Vantor test window"
WIDGETS = ['frame: Vantor test window', '[1] push button "Press me"', '[2] text',
           '[3] check box "Tick me"', '[4] spin button value="42.0"', 'label: A plain label']


@pytest.fixture
def linux(desktop, monkeypatch):
    """SYSTEM is "Linux"; the session's display and bus; Debian's python3 and
    xdotool on PATH."""
    monkeypatch.setattr(vantor, "SYSTEM", "Linux")
    for name in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "XAUTHORITY"):
        monkeypatch.setenv(name, desktop[name])
    monkeypatch.setenv("PATH", f"{desktop['bin']}{os.pathsep}{os.environ['PATH']}")
    return desktop


def elements(result):
    return [line.strip() for line in result["snapshot"].split("\n")[2:]]


async def test_snapshot_through_atspi(linux):
    controller = vantor.Vantor()
    result = await controller.snapshot(window_title="vantor TEST")
    assert result["success"] and result["platform"] == "linux_atspi", result
    assert controller._linux_atspi_available and controller._linux_xdotool_available
    assert result["window"] == TITLE
    assert result["snapshot"].startswith(f"Window: {TITLE}\n\n")
    assert elements(result) == WIDGETS
    assert result["element_count"] == 4 == controller._ref_counter
    assert controller._ref_map[4] == {"role": "spin button", "name": "", "value": "42.0",
                                      "backend": "linux_atspi"}
    untitled = await controller.snapshot()
    assert untitled["window"] == TITLE and elements(untitled) == elements(result)


async def test_windows_through_xdotool(linux):
    controller = vantor.Vantor()
    assert await controller.get_focused_window() == {"success": True, "title": TITLE}
    listed = await controller.list_windows()
    assert {"id": linux["window_id"], "title": TITLE} in listed["windows"]
    assert listed["count"] == len(listed["windows"])
    assert await controller.focus_window("Vantor test") == {
        "success": True, "window": "Vantor test", "window_id": linux["window_id"]}
    assert (await controller.focus_window("no such window"))["error"] == \
        "No window matching: no such window"


async def test_xdotool_snapshot_when_atspi_is_missing(linux, tmp_path, monkeypatch):
    (tmp_path / "python3").symlink_to(shutil.which("false"))
    monkeypatch.setenv("PATH", f"{tmp_path}{os.pathsep}{os.environ['PATH']}")
    controller = vantor.Vantor()
    controller._ref_map[1] = {"backend": "linux_atspi"}
    result = await controller.snapshot()
    assert not controller._linux_atspi_available
    assert result["platform"] == "linux_xdotool" and result["window"] == TITLE
    assert result["window_id"] == linux["window_id"] and result["element_count"] == 0
    assert result["snapshot"].startswith(f"Window: {TITLE} (id: {linux['window_id']})\n\n")
    assert controller._ref_map == {}


async def test_keys_and_the_wheel_through_pyautogui(linux):
    pytest.importorskip("pyautogui")
    controller = vantor.Vantor()
    await controller.focus_window(TITLE)
    assert await controller.press_key("ctrl+a") == {"success": True, "action": "key_press",
                                                    "key": "ctrl+a"}
    assert controller._pyautogui_available
    scrolled = await controller.scroll_window("down", 2)
    assert scrolled["success"], scrolled
