"""Key presses (pywinauto's send_keys, System Events through osascript,
PyAutoGUI) and scrolling (PyAutoGUI)."""

import sys

import pytest
from vantor_fakes import World, install

from ombrel.pc import vantor

KEY_CODE = 'tell application "System Events" to key code '
KEYSTROKE = 'tell application "System Events" to keystroke '


def pressed(key):
    return {"success": True, "action": "key_press", "key": key}


@pytest.mark.parametrize("key, sent", [
    ("enter", "{ENTER}"), ("ENTER", "{ENTER}"), ("A", "A"), ("space", " "),
    ("ctrl+a", "^a"), ("Ctrl+Shift+Tab", "^+{TAB}"), ("alt+f4", "%{F4}"), ("win+E", "#e"),
    ("control+windows+x", "^#x"), ("hyper+ctrl+x", "^x"), ("ctrl + a", " a"),
])
async def test_windows_keys_through_send_keys(windows, loop_thread, key, sent):
    world = windows(World())
    assert await vantor.Vantor().press_key(key) == pressed(key)
    (call,) = world.calls
    assert (repr(call), call.thread != loop_thread) == (f"keyboard.send_keys({sent!r})", True)


@pytest.mark.parametrize("key, script", [
    ("enter", KEY_CODE + "36"), ("Backspace", KEY_CODE + "51"), ("delete", KEY_CODE + "51"),
    ("space", KEY_CODE + "49"), ("UP", KEY_CODE + "126"),
    ("A", KEYSTROKE + '"a"'), ("home", KEYSTROKE + '"home"'),
    ('"', KEYSTROKE + '"\\""'), ("\\", KEYSTROKE + '"\\\\"'),
    ("cmd+shift+Z", KEYSTROKE + '"z" using {command down, shift down}'),
    ("ctrl+alt+super+x", KEYSTROKE + '"x" using {control down, option down, command down}'),
    ("cmd+enter", KEYSTROKE + '"enter" using {command down}'),
    ("cmd + c", KEYSTROKE + '" c" using {}'),
])
async def test_macos_keys_through_osascript(macos, monkeypatch, key, script):
    monkeypatch.setitem(sys.modules, "pyautogui", World().pyautogui)
    macos.answer("keystroke", "", "execution error: not allowed", status=1)
    assert await vantor.Vantor().press_key(key) == pressed(key)
    assert macos.runs == [["-e", script]]


@pytest.mark.parametrize("system, present, key, call", [
    ("Linux", {}, "Enter", "press('enter')"),
    ("Linux", {}, "ctrl+C", "hotkey('ctrl', 'c')"),
    ("Linux", {}, "ctrl+foo+x", "hotkey('ctrl', 'foo', 'x')"),
    ("Darwin", {}, "ctrl+c", "hotkey('command', 'c')"),
    ("Darwin", {}, "alt+ctrl+ctrl", "hotkey('alt', 'command', 'command')"),
    ("Windows", {"pywinauto": False}, "ctrl+c", "hotkey('ctrl', 'c')"),
])
async def test_pyautogui_keys(no_libraries, monkeypatch, tmp_path, system, present, key, call):
    monkeypatch.setenv("PATH", str(tmp_path))     # no osascript
    monkeypatch.setattr(vantor, "SYSTEM", system)
    world = World()
    install(world, monkeypatch, **present)
    assert await vantor.Vantor().press_key(key) == pressed(key)
    assert [repr(c) for c in world.calls] == [f"pyautogui.{call}"]


@pytest.mark.parametrize("system", ["Windows", "Darwin", "Linux"])
async def test_no_keyboard(no_libraries, monkeypatch, tmp_path, system):
    monkeypatch.setenv("PATH", str(tmp_path))
    monkeypatch.setattr(vantor, "SYSTEM", system)
    assert await vantor.Vantor().press_key("a") == {
        "success": False, "error": "No keyboard input method available"}


async def test_key_errors_are_results(windows, monkeypatch):
    world = windows(World())

    def broken(keys, **kwargs):
        raise RuntimeError("desktop locked")
    monkeypatch.setattr(world.pywinauto_keyboard, "send_keys", broken)
    assert await vantor.Vantor().press_key("a") == {"success": False, "error": "desktop locked"}

    world = windows(World(), pywinauto=False)
    world.pyautogui_fail["hotkey"] = ValueError("fail-safe")
    assert await vantor.Vantor().press_key("ctrl+a") == {"success": False, "error": "fail-safe"}


@pytest.mark.parametrize("system", ["Windows", "Darwin", "Linux"])
@pytest.mark.parametrize("args, clicks", [
    ((), -3), (("up", 5), 5), (("left", 2), -2), (("UP", 1), -1), (("down", 0), 0),
    (("up", 2.7), 2),
])
async def test_scroll(no_libraries, monkeypatch, system, args, clicks):
    monkeypatch.setattr(vantor, "SYSTEM", system)
    world = World()
    monkeypatch.setitem(sys.modules, "pyautogui", world.pyautogui)
    direction, amount = args or ("down", 3)
    assert await vantor.Vantor().scroll_window(*args) == {
        "success": True, "action": "scroll", "direction": direction, "amount": int(amount),
        "hint": "Take a desktop_snapshot() to see the updated state."}
    assert [repr(c) for c in world.calls] == [f"pyautogui.scroll({clicks})"]


async def test_scroll_failures(no_libraries, monkeypatch):
    assert await vantor.Vantor().scroll_window() == {
        "success": False, "error": "PyAutoGUI not available for scrolling"}
    world = World()
    monkeypatch.setitem(sys.modules, "pyautogui", world.pyautogui)
    world.pyautogui_fail["scroll"] = OSError("no display")
    assert await vantor.Vantor().scroll_window("up") == {"success": False, "error": "no display"}
