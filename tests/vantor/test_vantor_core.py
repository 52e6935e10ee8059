"""The controller core: constants, lazy initialisation, argument checks,
ref look-ups and dispatch; and how it answers where no backend exists yet."""

import asyncio
import gc
import importlib.abc
import logging
import platform
import sys
import weakref

import pytest
from vantor_fakes import Node, World, notepad

from ombrel.pc import vantor

FLAGS = ["_uia_available", "_pywinauto_available", "_pyautogui_available", "_macos_available",
         "_linux_atspi_available", "_linux_xdotool_available", "_initialized"]


class ImportWatcher(importlib.abc.MetaPathFinder):
    """Records the modules Python had to look for; raises for some."""

    def __init__(self, raising=None):
        self.asked, self.raising = [], raising or {}

    def find_spec(self, name, path=None, target=None):
        self.asked.append(name)
        if name in self.raising:
            raise self.raising[name]
        return None


@pytest.fixture
def watcher(monkeypatch):
    def install(**raising):
        w = ImportWatcher(raising)
        monkeypatch.setattr(sys, "meta_path", [w, *sys.meta_path])
        return w
    return install


def test_module_constants():
    assert vantor.SYSTEM == platform.system()
    assert vantor.logger is logging.getLogger("ombrel.pc.desktop")
    assert type(vantor.INTERACTIVE_TYPES) is set and len(vantor.INTERACTIVE_TYPES) == 43
    assert type(vantor.CONTEXT_TYPES) is set and len(vantor.CONTEXT_TYPES) == 17
    assert {"Button", "ToolBar", "AXPopUpButton", "list item"} <= vantor.INTERACTIVE_TYPES
    assert {"Pane", "AXScrollArea", "filler"} <= vantor.CONTEXT_TYPES
    assert "button" not in vantor.INTERACTIVE_TYPES     # compared exactly
    assert [vantor._macos_keycode(k) for k in ("F1", "space", "Backspace", "pagedown", "zz")] \
        == [122, 49, 51, 121, 36]


def test_constructor_sets_the_fields_and_probes_nothing(watcher):
    w = watcher()
    controller = vantor.Vantor()
    assert controller._ref_map == {} and type(controller._ref_map) is dict
    assert controller._ref_counter == 0
    assert [getattr(controller, f) for f in FLAGS] == [False] * 7
    assert w.asked == []
    assert vantor.Vantor()._ref_map is not controller._ref_map


async def test_initialisation_happens_once_and_prefers_pywinauto(windows, watcher, caplog,
                                                                 monkeypatch):
    windows(World(notepad()))
    monkeypatch.delitem(sys.modules, "uiautomation")
    w = watcher()
    controller = vantor.Vantor()
    with caplog.at_level(logging.INFO, "ombrel.pc.desktop"):
        await controller.list_windows()
        await controller.snapshot()
        controller._ensure_init()
    assert [getattr(controller, f) for f in FLAGS] == [True, True, True, False, False, False, True]
    assert [r.getMessage() for r in caplog.records] == ["pywinauto UIA backend available"]
    assert "uiautomation" not in w.asked and "uiautomation" not in sys.modules


@pytest.mark.parametrize("present, flags, messages", [
    ({"pywinauto": False}, [True, False, True],
     [("WARNING", "pywinauto not installed — run: pip install pywinauto"),
      ("INFO", "uiautomation library available")]),
    ({"pywinauto": False, "uiautomation": False, "pyautogui": False}, [False, False, False],
     [("WARNING", "pywinauto not installed — run: pip install pywinauto"),
      ("WARNING", "uiautomation not installed — run: pip install uiautomation")]),
])
async def test_windows_probe_without_pywinauto(windows, caplog, present, flags, messages):
    windows(World(notepad()), **present)
    controller = vantor.Vantor()
    with caplog.at_level(logging.INFO, "ombrel.pc.desktop"):
        controller._ensure_init()
    assert [controller._uia_available, controller._pywinauto_available,
            controller._pyautogui_available] == flags
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == messages


async def test_an_initialisation_error_propagates_once(windows, watcher, monkeypatch):
    windows(World(notepad()))
    monkeypatch.delitem(sys.modules, "pyautogui")
    watcher(pyautogui=RuntimeError("no display"))
    controller = vantor.Vantor()
    with pytest.raises(RuntimeError, match="no display"):
        await controller.list_windows()
    assert controller._initialized and controller._pywinauto_available
    assert not controller._pyautogui_available
    assert (await controller.list_windows())["success"] is True


CALLS = {
    "snapshot": ("window_title", "max_depth"),
    "click_ref": ("ref", "double_click"),
    "type_ref": ("ref", "text", "clear_first", "press_enter"),
    "select_ref": ("ref", "value"),
    "toggle_ref": ("ref",),
    "focus_window": ("title",),
    "scroll_window": ("direction", "amount"),
    "press_key": ("key",),
}


class Text(str):
    pass


@pytest.mark.parametrize("method, kwargs, message", [
    ("snapshot", {"window_title": 3}, "window_title must be str or None, not int"),
    ("snapshot", {"window_title": Text("x")}, "window_title must be str or None, not Text"),
    ("snapshot", {"max_depth": "8"}, "max_depth must be a number, not str"),
    ("click_ref", {"ref": "1"}, "ref must be a number, not str"),
    ("type_ref", {"ref": 1, "text": b"x"}, "text must be str, not bytes"),
    ("type_ref", {"ref": None, "text": "x"}, "ref must be a number, not NoneType"),
    ("select_ref", {"ref": 1, "value": Text("v")}, "value must be str, not Text"),
    ("toggle_ref", {"ref": [1]}, "ref must be a number, not list"),
    ("focus_window", {"title": None}, "title must be str, not NoneType"),
    ("scroll_window", {"direction": 1}, "direction must be str, not int"),
    ("scroll_window", {"amount": "3"}, "amount must be a number, not str"),
    ("press_key", {"key": 13}, "key must be str, not int"),
])
async def test_arguments_are_checked_before_initialisation(method, kwargs, message):
    controller = vantor.Vantor()
    with pytest.raises(TypeError) as raised:
        await getattr(controller, method)(**kwargs)
    assert str(raised.value) == message
    assert not controller._initialized


async def test_refs_are_converted_and_bools_taken_by_truth(windows):
    world = windows(World(notepad()))
    controller = vantor.Vantor()
    await controller.snapshot()
    result = await controller.click_ref(2.9, double_click="yes")
    assert result["ref"] == 2 and type(result["ref"]) is int
    assert result["action"] == "double_click"
    assert [c.method for c in world.of("File")][-1] == "double_click_input"


@pytest.mark.parametrize("ref", [0, 5, 6, -1])
async def test_refs_not_found(windows, ref):
    windows(World(Node("Window", "W", *[Node("Button", str(i)) for i in range(4)], handle=1)))
    controller = vantor.Vantor()
    assert (await controller.snapshot())["element_count"] == 4
    long = f"Ref [{ref}] not found. Take a new desktop_snapshot() to get current refs."
    assert await controller.click_ref(ref) == {"success": False, "error": long}
    assert await controller.type_ref(ref, "x") == {"success": False, "error": long}
    short = {"success": False, "error": f"Ref [{ref}] not found."}
    assert await controller.toggle_ref(ref) == short
    assert await controller.select_ref(ref, "x") == short


LINUX_CLICK = {"success": False, "ref": 2, "error": "Direct element clicking via AT-SPI2 is not "
               "yet supported. Use screenshot + coordinate-based click instead: desktop click "
               "x=100 y=200", "hint": "Take a screenshot first, then click at the element's "
               "coordinates."}
NO_TOOLS = ("No Linux desktop accessibility tools available. Install xdotool: sudo apt install "
            "xdotool\nFor full accessibility tree: sudo apt install python3-gi gir1.2-atspi-2.0 "
            "at-spi2-core")


async def test_lookup_keeps_the_table_it_searches(no_libraries):
    """A key whose __eq__ replaces the table: the look-up still answers from
    the table it was searching, as `ref in table` and `table[ref]` would."""
    controller, spare = vantor.Vantor(), []

    class Key:
        def __hash__(self):
            return hash(1)

        def __eq__(self, other):
            if not spare:
                controller._ref_map = {}
                spare.append({1: {"backend": "linux_atspi"}})  # may reuse the freed table
            return True

    controller._ref_map = {Key(): {"backend": "macos"}}
    assert await controller.click_ref(1) == {
        "success": False, "error": "Element has no identifiable name for clicking", "ref": 1}


@pytest.mark.parametrize("call, expected", [
    (lambda c: c.click_ref(1), {"success": False, "error": "Element has no identifiable name "
                                "for clicking", "ref": 1}),
    (lambda c: c.click_ref(2), LINUX_CLICK),
    (lambda c: c.type_ref(1, "x"), {"success": False, "error": "Element has no identifiable "
                                    "name for typing", "ref": 1}),
    (lambda c: c.type_ref(2, "x"),
     {"success": False, "error": "Type not supported on this backend yet", "ref": 2}),
    (lambda c: c.type_ref(3, "x"),
     {"success": False, "error": "Type not supported on this backend yet", "ref": 3}),
    (lambda c: c.select_ref(1, "x"),
     {"success": False, "error": "Select not yet supported on macos", "ref": 1}),
    (lambda c: c.select_ref(2, "x"),
     {"success": False, "error": "Select not yet supported on linux_atspi", "ref": 2}),
    (lambda c: c.toggle_ref(1), {"success": False, "error": "Element has no identifiable "
                                 "name for clicking", "ref": 1}),
    (lambda c: c.toggle_ref(2), LINUX_CLICK),
])
async def test_dispatch_by_the_entry_backend(windows, call, expected):
    windows(World(notepad()))
    controller = vantor.Vantor()
    controller._ref_map.update({1: {"backend": "macos"},
                                2: {"backend": "linux_atspi", "role": "push button"},
                                3: {"backend": "something else"}})
    assert await call(controller) == expected


async def test_an_entry_without_backend_is_a_pywinauto_entry(windows):
    world = windows(World(notepad()))
    element = world.wrapper(world.find("File"))
    controller = vantor.Vantor()
    controller._ref_map[7] = {"element": element, "control_type": "MenuItem", "name": "File"}
    assert (await controller.type_ref(7, "abc"))["action"] == "type"
    assert (await controller.toggle_ref(7))["action"] == "toggle"
    assert [c.method for c in world.of("File")
            if c.method in ("click_input", "type_keys")][:2] == ["click_input", "type_keys"]


@pytest.mark.parametrize("call, expected", [
    (lambda c: c.snapshot(), {"success": False, "error": NO_TOOLS}),
    (lambda c: c.get_focused_window(), {"success": False, "error": "xdotool not available"}),
    (lambda c: c.list_windows(), {"success": False, "error": "No window listing tool available"}),
    (lambda c: c.focus_window("x"), {"success": False, "error": "xdotool not available"}),
    (lambda c: c.click_ref(1), {"success": False, "error": "Ref [1] not found. Take a new "
                                "desktop_snapshot() to get current refs."}),
    (lambda c: c.scroll_window(),
     {"success": False, "error": "PyAutoGUI not available for scrolling"}),
    (lambda c: c.press_key("enter"),
     {"success": False, "error": "No keyboard input method available"}),
])
@pytest.mark.parametrize("system", ["Linux", "FreeBSD"])
async def test_other_platforms_answer_without_libraries(no_libraries, monkeypatch, tmp_path,
                                                        system, call, expected):
    """Any system but Windows and macOS is served by the Linux backend; here
    with no tool on PATH."""
    monkeypatch.setattr(vantor, "SYSTEM", system)
    monkeypatch.setenv("PATH", str(tmp_path))
    controller = vantor.Vantor()
    assert await call(controller) == expected
    assert controller._initialized and not controller._pyautogui_available


def test_operations_are_coroutines():
    controller = vantor.Vantor()
    coroutine = controller.snapshot()
    assert asyncio.iscoroutine(coroutine) or hasattr(coroutine, "__await__")
    assert coroutine.__qualname__ == "Vantor.snapshot"
    coroutine.close()
    assert not controller._initialized


def test_ref_table_cycles_are_collected():
    class Element:
        pass

    element = Element()
    alive = weakref.ref(element)
    controller = vantor.Vantor()
    element.controller = controller
    controller._ref_map = {1: {"element": element, "backend": "pywinauto"}}
    del controller, element
    gc.collect()
    assert alive() is None
