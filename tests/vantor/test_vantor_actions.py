"""Click, type, select and toggle on Windows refs, through both libraries, with
the PyAutoGUI fall-backs."""

import asyncio
import threading
import time

import pytest
from vantor_fakes import Node, World

from ombrel.pc import vantor

HINT = "Take a desktop_snapshot() to see the updated state."
READS = {"friendly_class_name", "window_text", "element_info", "automation_id", "enabled",
         "children", "ControlTypeName", "Name", "AutomationId", "IsEnabled", "GetChildren",
         "GetValuePattern", "Value", "CurrentValue", "wrapper_object", "Exists",
         "GetForegroundWindow", "windows", "__init__"}


async def controller_on(install, node, library="pywinauto", **present):
    """A controller whose ref 1 is `node`, inside a window, found by a snapshot."""
    world = install(World(Node("Window", "W", node, handle=1)),
                    pywinauto=library == "pywinauto", **present)
    controller = vantor.Vantor()
    assert (await controller.snapshot())["success"] is True
    assert controller._ref_map[1]["name"] == node.name
    world.calls.clear()
    return world, controller


def actions(world):
    return [repr(c) for c in world.calls if c.method not in READS]


@pytest.mark.parametrize("library, patterns, double, calls", [
    ("pywinauto", {"invoke"}, False, ["OK.iface_invoke()", "OK.Invoke()"]),
    ("pywinauto", {"invoke"}, True, ["OK.iface_invoke()", "OK.Invoke()"]),
    ("pywinauto", set(), False, ["OK.iface_invoke()", "OK.click_input()"]),
    ("pywinauto", set(), True, ["OK.iface_invoke()", "OK.double_click_input()"]),
    ("uiautomation", {"invoke"}, False, ["OK.GetInvokePattern()", "OK.Invoke()"]),
    ("uiautomation", set(), False, ["OK.GetInvokePattern()", "OK.Click()"]),
    ("uiautomation", {"invoke"}, True, ["OK.DoubleClick()"]),
])
async def test_click(windows, loop_thread, library, patterns, double, calls):
    world, controller = await controller_on(windows, Node("Button", "OK", patterns=patterns),
                                            library)
    result = await controller.click_ref(1, double_click=double)
    assert result == {"success": True, "action": "double_click" if double else "click",
                      "ref": 1, "element": 'Button "OK"', "hint": HINT}
    assert list(result) == ["success", "action", "ref", "element", "hint"]
    assert actions(world) == calls
    assert all(c.thread != loop_thread for c in world.calls)


@pytest.mark.parametrize("library, rect, double, point", [
    ("pywinauto", (10, 20, 31, 41), False, (20, 30)),
    ("pywinauto", (-1920, -5, 0, 0), True, (-960, -3)),     # floor division
    ("uiautomation", (-1, -1, 1, 1), False, (0, 0)),         # (0, 0) is a point
])
async def test_click_falls_back_to_coordinates(windows, loop_thread, library, rect, double,
                                               point):
    fail = {"click_input": OSError("no input"), "double_click_input": OSError("no input"),
            "Click": OSError("no input")}
    world, controller = await controller_on(windows, Node("Button", "", rect=rect, fail=fail),
                                            library)
    result = await controller.click_ref(1, double_click=double)
    assert result == {"success": True, "action": "click (coordinate fallback)", "ref": 1,
                      "element": 'Button ""', "coordinates": point}
    clicks = world.of("pyautogui")
    assert [repr(c) for c in clicks] == [
        f"pyautogui.{'doubleClick' if double else 'click'}({point[0]!r}, {point[1]!r})"]
    assert clicks[0].thread == loop_thread
    reads = world.of(method="BoundingRectangle" if library == "uiautomation" else "rectangle")
    assert len(reads) == 1 and reads[0].thread != loop_thread


@pytest.mark.parametrize("broken", ["pyautogui", "rectangle", "pyautogui.click"])
async def test_click_failure_reports_the_first_error(windows, broken):
    fail = {"click_input": OSError("access denied")}
    if broken == "rectangle":
        fail["rectangle"] = RuntimeError("gone")
    world, controller = await controller_on(windows, Node("Button", "OK", fail=fail),
                                            pyautogui=broken != "pyautogui")
    world.pyautogui_fail["click"] = RuntimeError("fail-safe")
    assert await controller.click_ref(1) == {"success": False, "error": "access denied", "ref": 1}


@pytest.mark.parametrize("library, clear, enter, calls", [
    ("pywinauto", True, True, ["T.iface_value()", "T.SetValue('')", "T.SetValue('a {b}')",
                               "T.type_keys('{ENTER}')"]),
    ("pywinauto", False, False, ["T.iface_value()", "T.SetValue('a {b}')"]),
    ("uiautomation", True, True, ["T.SetValue('')", "T.SetValue('a {b}')",
                                  "uiautomation.SendKeys('{Enter}')"]),
    ("uiautomation", False, False, ["T.SetValue('a {b}')"]),
])
async def test_type_through_the_value_pattern(windows, library, clear, enter, calls):
    world, controller = await controller_on(windows, Node("Edit", "T", value="old"), library)
    result = await controller.type_ref(1, "a {b}", clear_first=clear, press_enter=enter)
    assert result == {"success": True, "action": "type", "ref": 1, "element": 'Edit "T"',
                      "text": "a {b}", "pressed_enter": enter}
    assert actions(world) == calls


@pytest.mark.parametrize("library, clear, enter, calls", [
    ("pywinauto", True, True, [
        "T.iface_value()", "T.click_input()", "T.type_keys('^a', set_foreground=False)",
        "T.type_keys('hi there', with_spaces=True, set_foreground=False)",
        "T.type_keys('{ENTER}', set_foreground=False)"]),
    ("pywinauto", False, False, [
        "T.iface_value()", "T.click_input()",
        "T.type_keys('hi there', with_spaces=True, set_foreground=False)"]),
    ("uiautomation", True, True, [
        "T.Click()", "uiautomation.SendKeys('{Ctrl}a')",
        "uiautomation.SendKeys('hi there', interval=0.02)", "uiautomation.SendKeys('{Enter}')"]),
])
async def test_type_with_keys(windows, library, clear, enter, calls):
    world, controller = await controller_on(windows, Node("Document", "T"), library)
    started = time.monotonic()
    result = await controller.type_ref(1, "hi there", clear_first=clear, press_enter=enter)
    assert time.monotonic() - started >= (0.15 if clear else 0.1)
    assert result["action"] == "type" and result["pressed_enter"] is enter
    assert actions(world) == calls


async def test_type_after_a_failing_value_pattern_uses_keys(windows):
    node = Node("Edit", "T", value="", fail={"SetValue": RuntimeError("read-only")})
    world, controller = await controller_on(windows, node, "uiautomation")
    assert (await controller.type_ref(1, "x", clear_first=False))["success"] is True
    assert actions(world) == ["T.SetValue('x')", "T.Click()",
                              "uiautomation.SendKeys('x', interval=0.02)"]


@pytest.mark.parametrize("text, clear, enter, calls", [
    ("abc", True, True, ["click(5, 5)", "hotkey('ctrl', 'a')", "typewrite('abc', interval=0.02)",
                         "press('enter')"]),
    ("Grüße", False, False, ["click(5, 5)", "write('Grüße')"]),
])
async def test_type_falls_back_to_the_keyboard(windows, loop_thread, text, clear, enter, calls):
    node = Node("Edit", "T", fail={"click_input": OSError("no input")})
    world, controller = await controller_on(windows, node)
    ticks = []

    async def ticker():
        while True:
            ticks.append(time.monotonic())
            await asyncio.sleep(0.01)

    task = asyncio.create_task(ticker())
    result = await controller.type_ref(1, text, clear_first=clear, press_enter=enter)
    task.cancel()
    assert result == {"success": True, "action": "type (keyboard fallback)", "ref": 1,
                      "text": text}
    assert [repr(c).removeprefix("pyautogui.") for c in world.of("pyautogui")] == calls
    assert all(c.thread == loop_thread for c in world.of("pyautogui"))
    assert len(ticks) >= 5     # the pauses did not block the loop


async def test_type_failure_without_pyautogui(windows):
    node = Node("Edit", "T", fail={"click_input": OSError("no input")})
    _, controller = await controller_on(windows, node, pyautogui=False)
    assert await controller.type_ref(1, "x") == {"success": False, "error": "no input", "ref": 1}


def combo(*items, patterns=("selection", "expand_collapse"), **kwargs):
    return Node("ComboBox", "Colour", *items, patterns=patterns, **kwargs)


@pytest.mark.parametrize("items, value, chosen, calls", [
    ([Node("ListItem", "Red", patterns={"selection_item"}),
      Node("ListItem", "Light Blue", patterns={"selection_item"}),
      Node("ListItem", "Blue", patterns={"selection_item"})], "blue", "Light Blue",
     ["Colour.GetSelectionPattern()", "Colour.GetExpandCollapsePattern()", "Colour.Expand()",
      "Light Blue.GetSelectionItemPattern()",
      "Light Blue.Select()"]),
    ([Node("ListItem", "Été", patterns={"selection_item"})], "ÉTÉ", "Été", None),
    ([Node("ListItem", "Blue"),                                  # no selection item: skipped
      Node("ListItem", "Dark blue", fail={"GetSelectionItemPattern": OSError()})],  # clicked
     "BLUE", "Dark blue", None),
])
async def test_select_through_uiautomation(windows, items, value, chosen, calls):
    world, controller = await controller_on(windows, combo(*items), "uiautomation")
    result = await controller.select_ref(1, value)
    assert result == {"success": True, "action": "select", "ref": 1,
                      "element": 'ComboBox "Colour"', "value": value}
    assert [n.name for n in world.windows[0].walk() if n.selected] == [chosen]
    if calls:
        assert [a for a in actions(world) if "Name" not in a] == calls


@pytest.mark.parametrize("node", [
    combo(Node("ListItem", "Red", patterns={"selection_item"})),            # no match
    combo(Node("ListItem", "Blue", patterns={"selection_item"}),              # not a list
          missing={"GetSelectionPattern"}),
    combo(Node("ListItem", "Blue")),                           # nothing selectable
])
async def test_select_failure_through_uiautomation(windows, node):
    _, controller = await controller_on(windows, node, "uiautomation")
    assert await controller.select_ref(1, "blue") == {
        "success": False, "error": "Could not select 'blue'", "ref": 1}


async def test_select_through_pywinauto(windows):
    world, controller = await controller_on(windows, combo(Node("ListItem", "Blue")))
    assert (await controller.select_ref(1, "Blue"))["success"] is True
    assert actions(world) == ["Colour.select('Blue')"]
    world.calls.clear()
    started = time.monotonic()
    assert (await controller.select_ref(1, "lu"))["success"] is True   # by pattern
    assert time.monotonic() - started >= 0.2
    assert actions(world) == ["Colour.select('lu')", "Colour.expand()",
                              "Colour.child_window(title_re='.*lu.*')", "Blue.click_input()"]
    assert await controller.select_ref(1, "Green") == {
        "success": False, "error": "Could not select 'Green'", "ref": 1}


@pytest.mark.parametrize("library, patterns, calls", [
    ("pywinauto", {"toggle"}, ["Box.iface_toggle()", "Box.Toggle()"]),
    ("pywinauto", set(), ["Box.iface_toggle()", "Box.click_input()"]),
    ("uiautomation", {"toggle"}, ["Box.GetTogglePattern()", "Box.Toggle()"]),
    ("uiautomation", set(), ["Box.GetTogglePattern()", "Box.Click()"]),
])
async def test_toggle(windows, library, patterns, calls):
    world, controller = await controller_on(windows, Node("CheckBox", "Box", patterns=patterns),
                                            library)
    assert await controller.toggle_ref(1) == {"success": True, "action": "toggle", "ref": 1,
                                              "element": 'CheckBox "Box"'}
    assert actions(world) == calls


async def test_toggle_failure(windows):
    node = Node("CheckBox", "Box", fail={"click_input": PermissionError("denied")})
    _, controller = await controller_on(windows, node)
    assert await controller.toggle_ref(1) == {"success": False, "error": "denied", "ref": 1}


async def test_hand_made_entry_without_element(windows):
    _, controller = await controller_on(windows, Node("Button", "OK"))
    controller._ref_map[9] = {"backend": "uiautomation"}
    assert await controller.click_ref(9) == {"success": False, "error": "'element'", "ref": 9}
    assert (await controller.select_ref(9, "x"))["error"] == "'element'"


async def test_actions_from_many_tasks_at_once(windows, loop_thread):
    nodes = [Node("Button", f"b{i}", patterns={"invoke"}) for i in range(20)]
    world = windows(World(Node("Window", "W", *nodes, handle=1)))
    controller = vantor.Vantor()
    await controller.snapshot()
    results = await asyncio.gather(*[controller.click_ref(i + 1) for i in range(20)],
                                   *[controller.toggle_ref(i + 1) for i in range(20)])
    assert all(r["success"] for r in results)
    assert sorted(c.who for c in world.of(method="Invoke")) == sorted(f"b{i}" for i in range(20))
    assert threading.get_ident() == loop_thread


@pytest.mark.parametrize("operation, args", [("click_ref", (1,)), ("select_ref", (1, "B"))])
async def test_a_suspended_action_in_a_cycle_is_collected(windows, operation, args):
    """The ref's entry holds the action on it, suspended while its element is
    worked on: the cycle through the action's locals is still collected."""
    import gc
    import weakref

    _, controller = await controller_on(windows, Node("ComboBox", "OK"))
    action = getattr(controller, operation)(*args)
    pending = action.send(None)             # suspended on the executor
    entry = controller._ref_map[1]
    entry["action"] = action
    controller._ref_map = {}
    await asyncio.wait([pending])
    ref = weakref.ref(action)
    del action, entry, pending
    gc.collect()
    assert ref() is None
