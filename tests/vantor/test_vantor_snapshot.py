"""The Windows snapshot: text format, ref table, both libraries, failures."""

import asyncio
import logging
import threading

import pytest
from vantor_fakes import Node, World, notepad

from ombrel.pc import vantor

HINT = "Use ref numbers to interact: desktop_click_ref(1), desktop_type_ref(2, 'text'), etc."
READS = ("friendly_class_name", "window_text", "element_info", "automation_id", "enabled",
         "children", "iface_value", "CurrentValue", "wrapper_object")


def window(*children, **kwargs):
    kwargs.setdefault("handle", 0x1001)
    return Node("Window", "Main", *children, **kwargs)


def chain(depth, kind="Button"):
    """A button nested `depth` levels deep: b0 > b1 > ..."""
    node = None
    for level in reversed(range(depth)):
        node = Node(kind, f"b{level}", *([node] if node else []))
    return node


async def snap(install, world, *, library="pywinauto", **kwargs):
    install(world, pywinauto=library == "pywinauto")
    controller = vantor.Vantor()
    result = await controller.snapshot(**kwargs)
    return controller, result


def body(result):
    return result["snapshot"].split("\n")[2:]


@pytest.mark.parametrize("library", ["pywinauto", "uiautomation"])
async def test_notepad(windows, library):
    world = World(notepad())
    controller, result = await snap(windows, world, library=library)
    header = "Window: Untitled - Notepad" + (" [Notepad]" if library == "pywinauto" else "")
    assert result == {
        "success": True, "window": "Untitled - Notepad",
        "snapshot": "\n".join([header, "", '[1] menubar "Application"',
                               '  [2] menuitem "File"', '  [3] menuitem "Edit"',
                               '[4] document value="hello" (id: 15)', "statusbar: Ln 1, Col 1"]),
        "element_count": 4, "hint": HINT}
    assert list(result) == ["success", "window", "snapshot", "element_count", "hint"]
    assert controller._ref_counter == 4 and list(controller._ref_map) == [1, 2, 3, 4]
    entry = controller._ref_map[4]
    assert list(entry) == ["element", "control_type", "name", "auto_id", "value", "backend"]
    view = world.wrapper if library == "pywinauto" else world.control
    assert entry["element"] is view(world.find("Untitled - Notepad").children[1])
    assert entry == dict(entry, control_type="Document", name="", auto_id="15", value="hello",
                         backend=library)
    # every library call ran on the executor, off the loop's thread
    assert world.calls and all(c.thread != threading.get_ident() for c in world.calls)


@pytest.mark.parametrize("title", [None, ""])
async def test_no_title_describes_the_foreground_window(windows, title):
    world = World(Node("Window", "Other", handle=1), notepad(), foreground=0x1001)
    _, result = await snap(windows, world, window_title=title)
    assert result["window"] == "Untitled - Notepad"
    assert [repr(c) for c in world.of(method="windows")] == ["Desktop.windows(handle=4097)"]
    assert repr(world.of("Desktop", "__init__")[0]) == "Desktop.__init__(backend='uia')"


@pytest.mark.parametrize("title, found", [
    ("Note", "Untitled - Notepad"),          # a substring
    ("Un.*d - N", "Untitled - Notepad"),      # a pattern
    ("i", "Calc – Mini"),                     # several match: the first
])
async def test_pywinauto_title_is_a_pattern(windows, title, found):
    world = World(Node("Window", "Calc – Mini", handle=2), notepad())
    _, result = await snap(windows, world, window_title=title)
    assert result["window"] == found
    assert world.of(method="windows")[0].kwargs == {"title_re": f".*{title}.*",
                                                    "visible_only": True}


@pytest.mark.parametrize("library, title, error", [
    ("pywinauto", "Word", "No window found matching: Word"),
    ("pywinauto", None, "No foreground window found"),        # GetForegroundWindow() == 0
    ("uiautomation", "Notepad", "No window found"),           # exact names only
    ("uiautomation", None, "No window found"),
])
async def test_no_window(windows, library, title, error):
    world = World(notepad(), foreground=0)
    controller = vantor.Vantor()
    windows(world, pywinauto=library == "pywinauto")
    controller._ref_map[7] = {"backend": "pywinauto"}
    previous = controller._ref_map
    assert await controller.snapshot(title) == {"success": False, "error": error}
    assert controller._ref_map is previous and list(previous) == [7]   # table untouched


async def test_uiautomation_title_is_an_exact_name(windows):
    world = World(Node("Window", "Main", handle=1), notepad())
    _, result = await snap(windows, world, library="uiautomation",
                           window_title="Untitled - Notepad")
    assert result["window"] == "Untitled - Notepad"
    assert [repr(c) for c in world.calls[:2]] == [
        "uiautomation.WindowControl(searchDepth=1, Name='Untitled - Notepad')",
        "Untitled - Notepad.Exists(0)"]


async def test_indentation_stops_at_eight_spaces(windows):
    _, result = await snap(windows, World(window(chain(7))))
    assert body(result) == [f'{"  " * min(d, 4)}[{d + 1}] button "b{d}"' for d in range(7)]


@pytest.mark.parametrize("max_depth, listed", [(8, 9), (0, 1), (2, 3), (-1, 0), (2.7, 3)])
async def test_max_depth(windows, max_depth, listed):
    controller, result = await snap(windows, World(window(chain(12))), max_depth=max_depth)
    assert len(body(result)) == listed and result["element_count"] == listed
    assert len(controller._ref_map) == listed
    if listed == 0:
        assert result["snapshot"] == "Window: Main [Window]\n"


async def test_default_depth_lists_nine_levels(windows):
    _, result = await snap(windows, World(window(chain(12))))
    assert result["element_count"] == 9


LONG = "x" * 150
WIDE = "é" * 150


@pytest.mark.parametrize("library", ["pywinauto", "uiautomation"])
@pytest.mark.parametrize("node, line", [
    (Node("Edit", "same", value="same"), '[1] edit "same"'),
    (Node("Edit", "", value=LONG), f'[1] edit value="{"x" * 100}"'),
    (Node("ComboBox", "c", value=WIDE), f'[1] combobox "c" value="{"é" * 100}"'),
    (Node("Button", "ok", auto_id="ok"), '[1] button "ok"'),
    (Node("Button", "", auto_id="btn1"), "[1] button (id: btn1)"),
    (Node("ListItem", 'say "hi"\nthere'), '[1] listitem "say "hi"\nthere"'),
    (Node("Hyperlink", "bad \udc80 name"), '[1] hyperlink "bad \udc80 name"'),
    (Node("Text", " \t\u3000 "), None),                       # only white space
    (Node("Pane", ""), None),
    (Node("Text", "t" * 200), "text: " + "t" * 200),
    (Node("Text", "Ü" * 201), "text: " + "Ü" * 200 + "..."),
    (Node("ScrollBar", "not listed"), None),
    (Node("Button", "off", enabled=False), None),
])
async def test_element_lines(windows, library, node, line):
    _, result = await snap(windows, World(window(node)), library=library)
    assert result["snapshot"] == "Window: Main" + (" [Window]" if library == "pywinauto" else "")\
        + "\n" + ("\n" + line if line else "")
    assert result["element_count"] == (1 if line and line.startswith("[") else 0)


async def test_values_by_library(windows):
    """pywinauto reads values of Edit, ComboBox and Document only;
    uiautomation of every element."""
    tree = lambda: World(window(Node("Button", "b", value="v"), Node("Edit", "e", value="w")))
    _, result = await snap(windows, world := tree())
    assert body(result) == ['[1] button "b"', '[2] edit "e" value="w"']
    assert [c.who for c in world.of(method="iface_value")] == ["e"]
    _, result = await snap(windows, tree(), library="uiautomation")
    assert body(result) == ['[1] button "b" value="v"', '[2] edit "e" value="w"']


async def test_unlisted_elements_still_have_their_children_walked(windows):
    tree = window(Node("Button", "off", Node("Button", "on"), enabled=False),
                  Node("ScrollBar", "", Node("Text", "inside")),
                  Node("Pane", "", Node("CheckBox", "tick")))
    _, result = await snap(windows, World(tree))
    assert body(result) == ['  [1] button "on"', "  text: inside", '  [2] checkbox "tick"']


async def test_window_header_fallbacks(windows):
    _, result = await snap(windows, World(Node("Window", "", handle=1, class_name="")))
    assert result["snapshot"] == "Window: Unknown []\n" and result["window"] == "Unknown"


async def test_pywinauto_element_errors(windows, caplog):
    tree = window(
        Node("Button", "broken", Node("Button", "lost"),
             fail={"window_text": RuntimeError("gone")}),
        Node("Button", "no info", fail={"element_info": RuntimeError("x")}),
        Node("Button", "half", auto_id="h1", fail={"enabled": RuntimeError("x")}),
        Node("Edit", "no value", value="v", fail={"iface_value": RuntimeError("x")}),
        Node("Pane", "", Node("Button", "hidden"), fail={"children": RuntimeError("x")}),
        Node("Button", "last"))
    with caplog.at_level(logging.DEBUG, "ombrel.pc.desktop"):
        _, result = await snap(windows, World(tree))
    assert body(result) == ['[1] button "no info"', '[2] button "half" (id: h1)',
                            '[3] edit "no value"', '[4] button "last"']
    assert [(r.levelno, r.getMessage()) for r in caplog.records
            if r.levelno < logging.INFO] == [(logging.DEBUG, "Error processing element: gone")]


async def test_uiautomation_element_errors_skip_silently(windows, caplog):
    tree = window(Node("Button", "broken", Node("Button", "lost"),
                       fail={"IsEnabled": RuntimeError("gone")}),
                  Node("Edit", "e", value="v", fail={"Value": RuntimeError("x")}),
                  Node("Pane", "", Node("Button", "hidden"), fail={"GetChildren": OSError()}))
    with caplog.at_level(logging.DEBUG, "ombrel.pc.desktop"):
        _, result = await snap(windows, World(tree), library="uiautomation")
    assert body(result) == ['[1] edit "e"']
    assert [r for r in caplog.records if r.levelno < logging.INFO] == []


@pytest.mark.parametrize("present, error", [
    ({"pywinauto": True, "windll": False}, "module 'ctypes' has no attribute 'windll'"),
    ({"pywinauto": True}, "UIA timed out"),
])
async def test_library_failure_is_reported_and_logged(windows, caplog, present, error):
    windows(World(notepad(fail={"wrapper_object": TimeoutError("UIA timed out")})), **present)
    result = await vantor.Vantor().snapshot()
    assert result == {"success": False, "error": error}
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("ERROR", f"Desktop snapshot failed: {error}")]


async def test_without_ui_automation(windows):
    windows(World(notepad()), pywinauto=False, uiautomation=False)
    assert await vantor.Vantor().snapshot() == {
        "success": False,
        "error": "Windows UI Automation not available. Install pywinauto: pip install pywinauto",
        "hint": "This feature requires pywinauto installed."}


async def test_ref_table_belongs_to_the_latest_snapshot(windows):
    world = windows(World(window(*[Node("Button", f"a{i}") for i in range(5)]),
                          Node("Window", "Second", Node("Button", "b1"), Node("Edit", "b2"),
                               handle=2)))
    controller = vantor.Vantor()
    assert (await controller.snapshot())["element_count"] == 5
    first = controller._ref_map
    assert (await controller.snapshot("Second"))["element_count"] == 2
    assert controller._ref_map is not first and len(first) == 5   # replaced, not cleared
    assert controller._ref_map[2]["element"] is world.wrapper(world.find("b2"))
    assert (await controller.click_ref(3))["success"] is False
    # a failure after the window was found leaves an empty table
    world.find("Second").fail["window_text"] = RuntimeError("header")
    assert (await controller.snapshot("Second"))["error"] == "header"
    assert controller._ref_map == {} and controller._ref_counter == 0


async def test_walker_methods_append_to_a_list(windows):
    world = windows(World(notepad()))
    controller = vantor.Vantor()
    lines = ["keep"]
    controller._walk_element_pywinauto(world.wrapper(world.windows[0]), lines, 3, 8)
    assert lines == ["keep", '      [1] menubar "Application"', '        [2] menuitem "File"',
                     '        [3] menuitem "Edit"', '      [4] document value="hello" (id: 15)',
                     "      statusbar: Ln 1, Col 1"]
    assert controller._ref_counter == 4


async def test_walker_at_the_integer_limits(windows):
    world = windows(World(notepad()))
    controller = vantor.Vantor()
    top, lines = world.wrapper(world.windows[0]), []
    controller._walk_element_pywinauto(top, lines, 2**63 - 1, 2**63 - 1)
    assert [line.strip() for line in lines] == [
        '[1] menubar "Application"', '[2] document value="hello" (id: 15)',
        "statusbar: Ln 1, Col 1"]                     # their children would be one too deep
    controller._ref_counter, lines = 2**63 - 1, []
    controller._walk_element_pywinauto(top, lines, 0, 8)
    assert lines == ["statusbar: Ln 1, Col 1"] and controller._ref_counter == 2**63 - 1


async def test_concurrent_snapshots_keep_the_table_whole(windows):
    """Walks from many worker threads at once: the table ends up exactly the
    one of the snapshot that walked last."""
    tops = [Node("Window", f"W{w}", *[Node("Pane", "", *[Node("Button", f"W{w}-{i}-{j}")
                                                        for j in range(40)])
                                      for i in range(10 + w)], handle=w + 1)
            for w in range(6)]
    world = windows(World(*tops))
    controller = vantor.Vantor()
    controller._ensure_init()
    loop = asyncio.get_running_loop()
    results = await asyncio.gather(
        *[controller.snapshot(f"W{w}") for w in range(6)],
        *[loop.run_in_executor(None, controller._snapshot_sync, f"W{w}", 8) for w in range(6)])
    assert all(r["element_count"] == 40 * (10 + int(r["window"][1:])) for r in results)
    table = controller._ref_map
    window_name = table[1]["name"].split("-")[0]
    assert len(table) == controller._ref_counter == 40 * (10 + int(window_name[1:]))
    assert all(entry["name"].startswith(window_name + "-") for entry in table.values())
    assert world.calls


@pytest.mark.parametrize("library", ["pywinauto", "uiautomation"])
async def test_an_element_on_its_own_path_is_not_walked_again(windows, library):
    """A library that reports a cycle (a -> [a]) gives a finite snapshot."""
    looping = Node("Button", "a")
    looping.children.append(looping)
    world = World(Node("Window", "Loop", looping, Node("Button", "b", looping), handle=1))
    controller, result = await snap(windows, world, library=library, max_depth=10**6)
    assert body(result) == ['[1] button "a"', '  [2] button "a"', '[3] button "b"',
                            '  [4] button "a"', '    [5] button "a"']


class Endless(Node):
    """An element with two fresh children, each the same, without end until
    `done` is set."""

    def __init__(self, done, depth=0):
        super().__init__("Pane", f"p{depth}")
        self.done, self.depth = done, depth

    @property
    def children(self):
        return [] if self.done.is_set() else [Endless(self.done, self.depth + 1)] * 2

    @children.setter
    def children(self, value):
        pass


async def test_a_cancelled_snapshot_stops_its_walk_and_releases_the_controller(windows):
    done = threading.Event()
    windows(World(Node("Window", "Endless", Endless(done), handle=1),
                  Node("Window", "Small", Node("Button", "ok"), handle=2)))
    controller = vantor.Vantor()
    try:
        walking = asyncio.ensure_future(controller.snapshot("Endless", max_depth=10**9))
        await asyncio.sleep(0.3)
        walking.cancel()
        with pytest.raises(asyncio.CancelledError):
            await walking
        result = await asyncio.wait_for(controller.snapshot("Small"), 5)
        assert result["snapshot"].split("\n")[2:] == ['[1] button "ok"']
        assert controller._ref_counter == 1 and list(controller._ref_map) == [1]
    finally:
        done.set()
