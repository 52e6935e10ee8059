"""The Windows window operations: focused window, window list, focusing."""

import pytest
from vantor_fakes import Node, World

from ombrel.pc import vantor

FOCUS_HINT = "Window focused. Use desktop_snapshot() to see its contents."


def desktop():
    return World(Node("Window", "Untitled - Notepad", class_name="Notepad", handle=11,
                      rect=(-8, -8, 1928, 1048)),
                 Node("Window", "   ", handle=12),
                 Node("Window", "Calculator", handle=13, class_name="ApplicationFrameWindow"),
                 Node("Window", "Hidden", handle=14, visible=False),
                 Node("Window", "Broken", handle=15, fail={"window_text": OSError("gone")}),
                 foreground=11)


async def test_focused_window(windows, loop_thread):
    world = windows(desktop())
    result = await vantor.Vantor().get_focused_window()
    assert result == {"success": True, "title": "Untitled - Notepad", "class_name": "Notepad",
                      "handle": 11, "rect": {"left": -8, "top": -8, "right": 1928,
                                             "bottom": 1048}}
    assert list(result) == ["success", "title", "class_name", "handle", "rect"]
    assert len(world.of(method="rectangle")) == 4          # read afresh for each side
    assert repr(world.of(method="windows")[0]) == "Desktop.windows(handle=11)"
    assert all(c.thread != loop_thread for c in world.calls)


async def test_window_list(windows):
    world = windows(desktop())
    assert await vantor.Vantor().list_windows() == {
        "success": True,
        "windows": [{"title": "Untitled - Notepad", "class_name": "Notepad"},
                    {"title": "Calculator", "class_name": "ApplicationFrameWindow"}],
        "count": 2}
    assert repr(world.of(method="windows")[0]) == "Desktop.windows(visible_only=True)"


@pytest.mark.parametrize("title, found", [("Calc", "Calculator"), ("Not.pad", "Untitled - Notepad")])
async def test_focus_window(windows, title, found):
    world = windows(desktop())
    assert await vantor.Vantor().focus_window(title) == {
        "success": True, "window": found, "hint": FOCUS_HINT}
    assert world.of(method="windows")[0].kwargs == {"title_re": f".*{title}.*",
                                                    "visible_only": True}
    assert [c.who for c in world.of(method="set_focus")] == [found]


@pytest.mark.parametrize("present, foreground, call, error", [
    ({"pywinauto": False, "uiautomation": False}, 11, "get_focused_window", "UIA not available"),
    ({"pywinauto": False, "uiautomation": False}, 11, "list_windows", "UIA not available"),
    ({"pywinauto": False, "uiautomation": False}, 11, "focus_window", "pywinauto not available"),
    ({"pywinauto": False}, 11, "get_focused_window", "Could not get focused window"),
    ({"pywinauto": False}, 11, "list_windows", "pywinauto not available"),
    ({"pywinauto": False}, 11, "focus_window", "pywinauto not available"),
    ({}, 0, "get_focused_window", "No foreground window"),
    ({}, 99, "get_focused_window", "Could not get focused window"),
    ({}, 15, "get_focused_window", "gone"),                 # the library's own error
    ({}, 11, "focus_window", "No window matching: Word"),
])
async def test_window_operation_failures(windows, present, foreground, call, error):
    world = desktop()
    world.foreground = foreground
    windows(world, **present)
    args = ("Word",) if call == "focus_window" else ()
    assert await getattr(vantor.Vantor(), call)(*args) == {"success": False, "error": error}


async def test_focus_window_error_is_reported(windows):
    windows(desktop())
    assert await vantor.Vantor().focus_window("Broken") == {"success": False, "error": "gone"}
