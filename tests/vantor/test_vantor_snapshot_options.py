"""Budgets, details, subtrees, diffs, find, wait_for and the stale check,
each scenario run through the fakes of pywinauto, uiautomation and System
Events (osascript) alike."""

import asyncio
import math

import pytest
from fake_osascript import Element
from vantor_fakes import Node, World

from ombrel.pc import vantor

BACKENDS = ["pywinauto", "uiautomation", "macos"]
# A kind as UI Automation and as System Events name it.
KINDS = {"button": ("Button", "AXButton"), "checkbox": ("CheckBox", "AXCheckBox"),
         "menubar": ("MenuBar", "AXMenuBar"), "menuitem": ("MenuItem", "AXMenuItem"),
         "text": ("Text", "AXStaticText")}
STALE = "Ref [{}] is stale: the element changed since the snapshot. Take a new snapshot."
NARROW = ("Narrow the snapshot: root=REF for one element's subtree, window_title for one "
          "window, or a smaller max_depth.]")


class E:
    """An element of the window, for either fake: kind (a key of KINDS),
    name, children, and enabled, focused, checked, selected, expanded, rect."""

    def __init__(self, kind, name="", *children, enabled=True, focused=False, checked=False,
                 selected=False, expanded=False, rect=(0, 0, 10, 10)):
        self.kind, self.name, self.children = kind, name, list(children)
        self.enabled, self.focused, self.checked = enabled, focused, checked
        self.selected, self.expanded, self.rect = selected, expanded, rect

    def node(self):
        x, y, w, h = self.rect
        patterns = {"toggle"} if self.kind == "checkbox" else set()
        patterns |= {"selection_item"} if self.selected else set()
        patterns |= {"expand_collapse"} if self.expanded else set()
        return Node(KINDS[self.kind][0], self.name, *[c.node() for c in self.children],
                    enabled=self.enabled, focused=self.focused, checked=self.checked,
                    selected=self.selected, expanded=self.expanded, patterns=patterns,
                    rect=(x, y, x + w, y + h))

    def element(self):
        x, y, w, h = self.rect
        return Element(KINDS[self.kind][1], self.name, *[c.element() for c in self.children],
                       value="1" if self.checked else "", enabled=self.enabled,
                       focused=self.focused, selected=self.selected, expanded=self.expanded,
                       position=(x, y), size=(w, h))


class Desk:
    """A window "Main" with these elements, through one backend's fake.
    `show(*elements)` changes what the window holds; `rename(name, new)`
    renames an element in place (its UI Automation element stays the same
    object)."""

    def __init__(self, request, backend, *elements):
        self.backend = backend
        if backend == "macos":
            self.osascript = request.getfixturevalue("macos")
        else:
            self.world = World(Node("Window", "Main", handle=1))
            request.getfixturevalue("windows")(self.world, pywinauto=backend == "pywinauto")
        self.show(*elements)
        self.controller = vantor.Vantor()

    def show(self, *elements):
        self.elements = list(elements)
        if self.backend == "macos":
            self.osascript.window("App", "Main", [e.element() for e in elements])
        else:
            self.world.windows[0].children = [e.node() for e in elements]

    def rename(self, name, new):
        if self.backend != "macos":
            self.world.find(name).name = new
            return
        def walk(elements):
            for e in elements:
                yield e
                yield from walk(e.children)
        next(e for e in walk(self.elements) if e.name == name).name = new
        self.osascript.window("App", "Main", [e.element() for e in self.elements])

    @property
    def indent(self):
        """The indent of an element line at the top of the window."""
        return "  " if self.backend == "macos" else ""

    def read_calls(self):
        """What the backend asked of the desktop so far."""
        if self.backend == "macos":
            return self.osascript.scripts
        return [c for c in self.world.calls if c.who != "Desktop"]


@pytest.fixture(params=BACKENDS)
def desk(request):
    return lambda *elements: Desk(request, request.param, *elements)


def lines(result):
    """The element lines of a snapshot, without indent."""
    text = result["snapshot"].split("\n")[1:]
    return [line.strip() for line in text if line and not line.startswith("[Cut at")]


BUTTONS = [E("button", f"b{i}") for i in range(12)]


# Budgets -------------------------------------------------------------------

async def test_max_elements_stops_the_walk(desk):
    d = desk(*BUTTONS)
    result = await d.controller.snapshot(max_elements=5)
    assert lines(result) == [f'[{i + 1}] button "b{i}"' for i in range(5)]
    assert result["snapshot"].endswith(
        "\n[Cut at max_elements=5: at least 7 more elements left out. " + NARROW)
    assert (result["truncated"], result["left_out"], result["element_count"]) == (True, 7, 5)
    if d.backend != "macos":   # no element past the budget was read
        assert [c.who for c in d.world.of(method="window_text" if d.backend == "pywinauto"
                                          else "Name")][1:] == [f"b{i}" for i in range(5)]


async def test_max_chars_keeps_the_lines_that_fit(desk):
    d = desk(*BUTTONS)
    plain = (await d.controller.snapshot())["snapshot"]
    head = "\n".join(plain.split("\n")[:5 if d.backend == "macos" else 6])   # 4 elements
    result = await d.controller.snapshot(max_chars=len(head) + 5)
    assert result["snapshot"] == head + (
        f"\n[Cut at max_chars={len(head) + 5}: at least 8 more elements left out. " + NARROW)
    assert (result["truncated"], result["left_out"], result["element_count"]) == (True, 8, 4)


async def test_budgets_not_spent_change_nothing(desk):
    d = desk(*BUTTONS[:3])
    plain = await d.controller.snapshot()
    result = await d.controller.snapshot(max_elements=3, max_chars=10_000)
    assert result == {**plain, "truncated": False, "left_out": 0}


@pytest.mark.parametrize("kwargs, error, message", [
    ({"max_elements": -1}, ValueError, "max_elements must be 0 or more, not -1"),
    ({"max_chars": -5}, ValueError, "max_chars must be 0 or more, not -5"),
    ({"max_elements": 2.0}, TypeError, "max_elements must be an int or None, not float"),
    ({"max_chars": True}, TypeError, "max_chars must be an int or None, not bool"),
    ({"max_chars": "9"}, TypeError, "max_chars must be an int or None, not str"),
    ({"root": "1"}, TypeError, "root must be a number, not str"),
])
async def test_bad_budgets_are_refused_before_any_walk(windows, kwargs, error, message):
    world = windows(World(Node("Window", "Main", Node("Button", "b"), handle=1)))
    controller = vantor.Vantor()
    with pytest.raises(error) as raised:
        await controller.snapshot(**kwargs)
    assert str(raised.value) == message
    assert not controller._initialized and world.calls == []


# Details -------------------------------------------------------------------

DETAILED = [E("checkbox", "Tick", checked=True, focused=True, rect=(5, 6, 70, 20)),
            E("button", "Off", enabled=False, rect=(5, 30, 40, 20)),
            E("button", "Pick", expanded=True, rect=(-3, 0, 8, 9)),
            E("menuitem", "Recent", selected=True, rect=(1, 2, 3, 4)),
            E("text", "Note", enabled=False, rect=(0, 0, 0, 0))]


async def test_details_add_states_and_bounds(desk):
    d = desk(*DETAILED)
    plain = await d.controller.snapshot()
    result = await d.controller.snapshot(details=True)
    value = ' value="1"' if d.backend == "macos" else ""    # a check box's AXValue
    text = "text" if d.backend != "macos" else "statictext"
    assert lines(result) == [f'[1] checkbox "Tick"{value} [focused] [checked] @5,6,70,20',
                             '[2] button "Pick" [expanded] @-3,0,8,9',
                             '[3] menuitem "Recent" [selected] @1,2,3,4',
                             f"{text}: Note [disabled]"]
    assert lines(plain) == [f'[1] checkbox "Tick"{value}', '[2] button "Pick"',
                            '[3] menuitem "Recent"', f"{text}: Note"]
    if d.backend != "macos":   # one cache request per listed element, none without details
        assert [c.who for c in d.world.of(method="BuildUpdatedCache")] == [
            "Tick", "Pick", "Recent", "Note"]


# Subtrees ------------------------------------------------------------------

MENU = [E("button", "Before"),
        E("menubar", "Application", E("menuitem", "File"), E("menuitem", "Edit")),
        E("button", "After")]


async def test_root_snapshots_one_subtree(desk):
    d = desk(*MENU)
    whole = await d.controller.snapshot()
    result = await d.controller.snapshot(root=2)
    assert result["window"] == whole["window"]
    assert result["snapshot"].split("\n")[0] == whole["snapshot"].split("\n")[0]
    assert lines(result) == ['[1] menubar "Application"', '[2] menuitem "File"',
                             '[3] menuitem "Edit"']
    assert sorted(d.controller._ref_map) == [1, 2, 3]
    again = await d.controller.snapshot(root=3)    # a ref of the subtree
    assert lines(again) == ['[1] menuitem "Edit"']


@pytest.mark.parametrize("root, title, error", [
    (9, None, "Root ref [9] is not a ref of the last snapshot. Pass one of its refs, or leave "
              "out root for the whole window."),
    (2, "Other", "Root ref [2] is in the window {!r}, not in one matching 'Other'. Leave out "
                 "window_title to take its subtree."),
])
async def test_a_root_from_elsewhere_is_refused(desk, root, title, error):
    d = desk(*MENU)
    window = (await d.controller.snapshot())["window"]
    calls = len(d.read_calls())
    assert await d.controller.snapshot(title, root=root) == {
        "success": False, "error": error.format(window)}
    assert len(d.read_calls()) == calls and len(d.controller._ref_map) == 5


async def test_a_root_that_changed_is_stale(desk):
    d = desk(*MENU)
    await d.controller.snapshot()
    d.rename("Application", "Renamed")
    assert await d.controller.snapshot(root=2) == {
        "success": False, "error": STALE.format(2), "ref": 2, "stale": True}
    assert len(d.controller._ref_map) == 5


# Diffs ---------------------------------------------------------------------

async def test_diff_shows_what_changed(desk):
    d = desk(*BUTTONS[:4])
    first = await d.controller.snapshot(diff=True)
    assert first["previous"] is False and first["removed"] == [] and first["renumbered"] == []
    assert first["snapshot"] == (await d.controller.snapshot())["snapshot"]
    assert first["added"] == [f'{d.indent}[{i + 1}] button "b{i}"' for i in range(4)]

    d.show(E("button", "new"), *BUTTONS[:2], E("button", "changed"), BUTTONS[3])
    result = await d.controller.snapshot(diff=True)
    i = d.indent
    assert result["snapshot"].split("\n")[1:] == [
        "Changes since the previous snapshot of this window: 2 added, 1 removed.",
        f'- {i}button "b2"', f'+ {i}[1] button "new"', f'+ {i}[4] button "changed"',
        "Renumbered: [1]-[2] are now [2]-[3]; [4] is now [5]."]
    assert (result["added"], result["removed"]) == (
        [f'{i}[1] button "new"', f'{i}[4] button "changed"'], [f'{i}button "b2"'])
    assert result["renumbered"] == [{"old": 1, "new": 2, "count": 2},
                                    {"old": 4, "new": 5, "count": 1}]
    assert result["previous"] is True and result["element_count"] == 5

    same = await d.controller.snapshot(diff=True)
    assert same["snapshot"].split("\n")[1:] == [
        "No changes since the previous snapshot of this window."]
    assert (same["added"], same["removed"], same["renumbered"]) == ([], [], [])
    cut = await d.controller.snapshot(diff=True, max_elements=2)
    assert cut["removed"] == [f'{i}button "b1"', f'{i}button "changed"', f'{i}button "b3"']
    assert cut["snapshot"].split("\n")[-1].startswith("[Cut at max_elements=2: at least 3")


# The stale check -----------------------------------------------------------

ACTIONS = {
    "click": lambda c, **kw: c.click_ref(1, **kw),
    "type": lambda c, **kw: c.type_ref(1, "x", **kw),
    "toggle": lambda c, **kw: c.toggle_ref(1, **kw),
    "select": lambda c, **kw: c.select_ref(1, "x", **kw),
}


@pytest.mark.parametrize("action", ACTIONS)
async def test_verify_refuses_a_changed_element(desk, action):
    d = desk(E("checkbox", "Tick"), E("button", "OK"))
    await d.controller.snapshot()
    act = ACTIONS[action]
    unchanged = await act(d.controller, verify=True)
    assert unchanged == await act(d.controller) and "stale" not in unchanged
    d.rename("Tick", "Tock")
    calls = len(d.read_calls())
    assert await act(d.controller, verify=True) == {
        "success": False, "error": STALE.format(1), "ref": 1, "stale": True}
    acted = d.read_calls()[calls:]
    if d.backend == "macos":
        assert len(acted) == 1 and 'return "found"' in acted[0]   # the check only
    else:
        assert {c.method for c in acted} <= {"friendly_class_name", "window_text",
                                             "ControlTypeName", "Name"}
    assert (await act(d.controller))["success"] is not None     # without verify: as before


async def test_an_element_gone_is_stale(windows):
    world = windows(World(Node("Window", "Main", Node("Button", "OK"), handle=1)))
    controller = vantor.Vantor()
    await controller.snapshot()
    world.find("OK").fail["window_text"] = RuntimeError("element not available")
    assert (await controller.click_ref(1, verify=True))["stale"] is True
    assert world.of("OK", "click_input") == [] and world.of("OK", "iface_invoke") == []


# Find and wait -------------------------------------------------------------

async def test_find_by_name_and_role(desk):
    d = desk(E("button", "Open file"), E("checkbox", "Open at login"), E("text", "Open"),
             E("button", "Close"))
    assert await d.controller.find("open") == {
        "success": False, "error": "No snapshot yet: take a desktop_snapshot() first."}
    await d.controller.snapshot()
    text = "statictext" if d.backend == "macos" else "text"
    found = await d.controller.find(name="OPEN")
    assert found == {"success": True, "count": 3, "matches": [
        {"ref": 1, "line": '[1] button "Open file"'},
        {"ref": 2, "line": '[2] checkbox "Open at login"'},
        {"ref": None, "line": f"{text}: Open"}]}
    assert [m["ref"] for m in (await d.controller.find(role="button"))["matches"]] == [1, 3]
    assert [m["ref"] for m in (await d.controller.find("open", "Check Box"))["matches"]] == [2]
    assert [m["ref"] for m in (await d.controller.find(role=text))["matches"]] == [None]
    assert (await d.controller.find("nothing"))["matches"] == []
    assert (await d.controller.find())["count"] == 4
    with pytest.raises(TypeError, match="role must be str or None, not int"):
        await d.controller.find(role=3)


async def test_wait_for_an_element_that_appears_later(desk):
    d = desk(E("button", "Start"))
    asyncio.get_running_loop().call_later(0.4, d.show, E("button", "Start"), E("button", "Done"))
    result = await d.controller.wait_for(name="done", timeout=10, interval=0.1)
    assert result["matches"] == [{"ref": 2, "line": '[2] button "Done"'}]
    assert result["success"] and result["count"] == 1
    assert result["snapshots"] >= 2 and 0.4 <= result["elapsed"] < 5
    assert result["snapshots"] <= result["elapsed"] / 0.1 + 1     # never faster


async def test_wait_for_gives_up_at_its_timeout(desk):
    d = desk(E("button", "Start"))
    started = asyncio.get_running_loop().time()
    result = await d.controller.wait_for("Done", "button", timeout=1.0, interval=0.3)
    assert asyncio.get_running_loop().time() - started < 1.0 + 0.2   # a snapshot cut short
    assert result == {"success": False, "matches": [], "count": 0,
                      "error": "No element named 'Done' of role 'button' appeared within "
                               "1.0 seconds.",
                      "elapsed": result["elapsed"], "snapshots": result["snapshots"]}
    assert 1 <= result["snapshots"] <= 4 and result["elapsed"] <= 1.0 + 0.2


async def test_wait_for_can_be_cancelled(windows):
    world = windows(World(Node("Window", "Main", Node("Button", "Start"), handle=1)))
    waiting = asyncio.ensure_future(vantor.Vantor().wait_for("Done", interval=0.05))
    await asyncio.sleep(0.3)
    waiting.cancel()
    with pytest.raises(asyncio.CancelledError):
        await waiting
    taken = len(world.of(method="wrapper_object"))
    await asyncio.sleep(0.2)
    assert taken >= 2 and len(world.of(method="wrapper_object")) == taken


@pytest.mark.parametrize("kwargs, error, message", [
    ({"interval": 0}, ValueError, "interval must be a positive finite number of seconds, not 0"),
    ({"interval": math.nan}, ValueError,
     "interval must be a positive finite number of seconds, not nan"),
    ({"timeout": math.inf}, ValueError,
     "timeout must be a positive finite number of seconds, not inf"),
    ({"timeout": -1}, ValueError, "timeout must be a positive finite number of seconds, not -1"),
    ({"timeout": "10"}, TypeError, "timeout must be a number, not str"),
    ({"name": b"x"}, TypeError, "name must be str or None, not bytes"),
])
async def test_wait_for_refuses_bad_arguments(windows, kwargs, error, message):
    world = windows(World(Node("Window", "Main", handle=1)))
    controller = vantor.Vantor()
    with pytest.raises(error) as raised:
        await controller.wait_for(**kwargs)
    assert str(raised.value) == message
    assert world.calls == [] and not controller._initialized
