"""The Linux backend against stand-ins for its tools on PATH: xdotool
(fakes/fake_xdotool.py), and python3 as this interpreter with a fake AT-SPI
binding (fakes/atspi) running the real walker script, or as a script that
prints a given document, fails or hangs."""

import ast
import asyncio
import json
import logging
import os
import sys
import time

import pytest

from ombrel.pc import vantor

FAKES = os.path.join(os.path.dirname(__file__), "fakes")
WALKER = os.path.join(os.path.dirname(__file__), "..", "..", "src", "pc", "vantor", "backends",
                      "linux", "atspi_walker.py")
HINT = "Use ref numbers to interact: desktop_click_ref(1), desktop_type_ref(2, 'text'), etc."
XDOTOOL_HINT = "Install AT-SPI2 for full element tree, or use screenshot + coordinate clicks."
OLD_REFS = {7: {"role": "push button", "name": "old", "value": "", "backend": "linux_atspi"}}


class Tools:
    """Executables put into the one directory on PATH."""

    def __init__(self, root, monkeypatch):
        self.root, self.bin = root, root / "bin"
        self.bin.mkdir()
        monkeypatch.setenv("PATH", str(self.bin))
        monkeypatch.setenv("PYTHONPATH", os.path.join(FAKES, "atspi"))
        monkeypatch.setenv("VANTOR_FAKE_DESKTOP", str(root / "desktop.json"))
        monkeypatch.setenv("VANTOR_FAKE_XDOTOOL", str(root / "xdotool.json"))

    def executable(self, name, body):
        path = self.bin / name
        path.write_text(f"#!/bin/sh\necho $$ >> {self.root / 'pids'}\n{body}\n")
        path.chmod(0o755)

    def remove(self, name):
        (self.bin / name).unlink()

    def xdotool(self, windows=(), active=None, body=None):
        (self.root / "xdotool.json").write_text(json.dumps(
            {"windows": [list(w) for w in windows], "active": active}))
        self.executable("xdotool", body or f'exec {sys.executable} {FAKES}/fake_xdotool.py "$@"')

    def xdotool_calls(self):
        calls = self.root / "xdotool.json.calls"
        return [json.loads(line) for line in calls.read_text().splitlines()] if calls.exists() else []

    def atspi(self, *apps):
        """python3 runs the walker script over this desktop."""
        (self.root / "desktop.json").write_text(json.dumps(list(apps)))
        self.executable("python3", f'exec {sys.executable} "$@"')

    def prints(self, text, errors="", status=0):
        """python3 prints text (and errors on stderr), saving the script it was given."""
        (self.root / "out").write_text(text)
        (self.root / "err").write_text(errors)
        self.executable("python3", f'printf "%s" "$2" > {self.root / "script.py"}\n'
                                   f'/bin/cat {self.root / "out"}\n'
                                   f'/bin/cat {self.root / "err"} >&2\nexit {status}')

    def children_gone(self):
        pids = [int(p) for p in (self.root / "pids").read_text().split()]
        for pid in pids:
            with pytest.raises(ProcessLookupError):
                os.kill(pid, 0)
        return len(pids)


@pytest.fixture
def tools(tmp_path, monkeypatch, no_libraries):
    monkeypatch.setattr(vantor, "SYSTEM", "Linux")
    return Tools(tmp_path, monkeypatch)


def ready(atspi=True, xdotool=True, pyautogui=False):
    """A controller whose initialisation has run with these findings."""
    controller = vantor.Vantor()
    controller._initialized = True
    controller._linux_atspi_available, controller._linux_xdotool_available = atspi, xdotool
    controller._pyautogui_available = pyautogui
    return controller


def node(role, name="", *children, **more):
    return {"role": role, "name": name, "children": list(children), **more}


# Initialisation -----------------------------------------------------------

@pytest.mark.parametrize("xdotool, python3, flags, messages", [
    (True, "atspi", (True, True), ["xdotool available for Linux desktop control",
                                   "AT-SPI2 accessibility available for Linux"]),
    (False, "exit 1", (False, False), ["No Linux desktop control tools found. Install: sudo "
                                       "apt install xdotool (or: pip install pyatspi)"]),
    (False, None, (False, False), ["No Linux desktop control tools found. Install: sudo apt "
                                   "install xdotool (or: pip install pyatspi)"]),
    (True, "exec /bin/sleep 60", (True, False), ["xdotool available for Linux desktop control"]),
])
async def test_probe(tools, caplog, xdotool, python3, flags, messages):
    if xdotool:
        tools.xdotool()
    if python3 == "atspi":
        tools.atspi()
    elif python3:
        tools.executable("python3", python3)
    controller = vantor.Vantor()
    started = time.monotonic()
    with caplog.at_level(logging.INFO, "ombrel.pc.desktop"):
        await controller.get_focused_window()
    assert (controller._linux_xdotool_available, controller._linux_atspi_available) == flags
    assert [r.getMessage() for r in caplog.records] == messages
    if python3 and "sleep" in python3:
        assert 5 <= time.monotonic() - started < 9
        tools.children_gone()


# The walker script over a fake AT-SPI binding ------------------------------

EDITOR = node(
    "frame", "Notes — Editor",
    node("push button", "Bold"),
    node("push button", "Off", node("label", "under a disabled button"), states=[]),
    node("text", "", value=12.5),
    node("slider", "Zoom", value=3, old=True),
    node("panel", "", description="Side panel"),
    node("filler", ""),
    node("push button", "Broken", node("push button", "Lost"), fail=["get_name"]),
    node("list item", "Half", node("label", "first"), node("label", "lost"),
         fail=["get_child_at_index"]),
    None,
    node("panel", "p1", node("panel", "p2", node("panel", "p3", node("panel", "p4", node(
        "check box", "Deep", node("push button", "Too deep")))))),
    states=["ENABLED"])
DESKTOP = [
    node("application", "editor", EDITOR, node("dialog", "Save as", node("push button", "Save"),
                                              states=["ACTIVE", "SENSITIVE"])),
    node("application", "term", None, node("window", "Terminal \U0001F600",
                                          node("link", "docs"))),
]
EDITOR_TEXT = [
    "frame: Notes — Editor",
    '  [1] push button "Bold"',
    "    label: under a disabled button",
    '  [2] text value="12.5"',
    '  [3] slider "Zoom" value="3"',
    "  panel: Side panel",
    '  [4] list item "Half"',             # its children cannot be read
    "  panel: p1",
    "    panel: p2",
    "      panel: p3",
    "        panel: p4",
    '        [5] check box "Deep"',      # and its child is below max_depth 5
]


@pytest.mark.parametrize("title, window, lines", [
    ("notes", "Notes — Editor", EDITOR_TEXT),
    ("no such window", "Notes — Editor", EDITOR_TEXT),   # the first named frame
    (None, "Save as", ['  [1] push button "Save"']),  # the active window
    ("SAVE", "Save as", ['  [1] push button "Save"']),
    ("terminal \U0001F600", "Terminal \U0001F600", ['  [1] link "docs"']),
])
async def test_walker_script(tools, title, window, lines):
    tools.atspi(*DESKTOP)
    controller = ready()
    result = await controller.snapshot(title, 5)
    assert result == {"success": True, "window": window,
                      "snapshot": "\n".join([f"Window: {window}", "", *lines]),
                      "element_count": controller._ref_counter, "platform": "linux_atspi",
                      "hint": HINT}
    assert sorted(controller._ref_map) == list(range(1, controller._ref_counter + 1))
    if window == "Notes — Editor":
        assert controller._ref_map[3] == {"role": "slider", "name": "Zoom", "value": "3",
                                          "backend": "linux_atspi"}


@pytest.mark.parametrize("target, lines", [("frame", ["frame: A"]), ("window", [])])
async def test_walker_script_at_depth_zero(tools, target, lines):
    tools.atspi(node("application", "app", node(target, "A", node("push button", "B"))))
    result = await ready().snapshot(max_depth=0)
    assert result["snapshot"].split("\n") == ["Window: A", "", *lines]


# Documents turned into text ------------------------------------------------

def record(ref, role, name, depth, value=""):
    return {"ref": ref, "role": role, "name": name, "value": value, "depth": depth}


async def test_document_to_text(tools):
    long = "x" * 150 + "\U0001F600" * 100
    tools.prints(json.dumps({"success": True, "window": "W \U0001F600", "app": "a",
                             "element_count": 99, "elements": [
        record(0, "frame", "W", 0),
        record(5, "push button", long, 1, value="v" + long),
        record(9, "text", "same", 2, value="same"),
        record(0, "label", long, 3),
        record(0, "label", "", 3),
        record(1, "entry", "", 9, value="v"),
        record(-3, "panel", 'quote " and\nbreak', 12),
    ]}))
    controller = ready()
    controller._ref_map, controller._ref_counter = dict(OLD_REFS), 7
    result = await controller.snapshot()
    assert result["snapshot"].split("\n") == [
        "Window: W \U0001F600", "", "frame: W",
        f'  [1] push button "{long}" value="{("v" + long)[:100]}"',
        '    [2] text "same"',
        f"      label: {long[:200]}",
        '        [3] entry value="v"',
        '        panel: quote " and', "break"]
    assert result["element_count"] == controller._ref_counter == 3
    assert controller._ref_map == {
        1: {"role": "push button", "name": long, "value": "v" + long,
            "backend": "linux_atspi"},
        2: {"role": "text", "name": "same", "value": "same", "backend": "linux_atspi"},
        3: {"role": "entry", "name": "", "value": "v", "backend": "linux_atspi"}}


@pytest.mark.parametrize("out, err, expected", [
    ('{"success": false, "error": "No window found"}', "",
     {"success": False, "error": "No window found"}),
    ('{"window": "W", "elements": [{"ref": 1}]}', "", {"window": "W", "elements": [{"ref": 1}]}),
    ("", "Traceback: boom\n", {"success": False, "error": "AT-SPI2 failed: Traceback: boom"}),
    ("  \n", "", {"success": False, "error": "AT-SPI2 failed: "}),
    ("not json", "", {"success": False, "error": "Expecting value: line 1 column 1 (char 0)"}),
    ('{"success": true, "window": "W", "elements": [{"ref": 1, "role": "link", "value": "",'
     ' "depth": 1}]}', "", {"success": False, "error": "'name'"}),
])
async def test_failures_keep_the_previous_refs(tools, caplog, out, err, expected):
    tools.prints(out, err)
    controller = ready()
    controller._ref_map, controller._ref_counter = dict(OLD_REFS), 7
    with caplog.at_level(logging.ERROR, "ombrel.pc.desktop"):
        assert await controller.snapshot() == expected
    assert controller._ref_map == OLD_REFS and controller._ref_counter == 7
    logged = [r.getMessage() for r in caplog.records]
    assert logged == ([f"Linux AT-SPI2 snapshot failed: {expected['error']}"]
                      if expected.get("error", "").startswith(("Expecting", "'")) else [])


DEEP = "[" * 100_000 + "]" * 100_000


@pytest.mark.parametrize("elements, error", [
    ('[{"ref": "1", "role": "link", "name": "a", "value": "", "depth": 1}]',
     "'>' not supported between instances of 'str' and 'int'"),
    ('[{"ref": 1, "role": "link", "name": "a", "value": "", "depth": 1.5}]',
     "can't multiply sequence by non-int of type 'float'"),
    ("[5]", "an element record must be an object, not int"),
    ('{"ref": 1}', 'the walker\'s "elements" must be a list, not dict'),
    ("null", 'the walker\'s "elements" must be a list, not NoneType'),
    # Where the text is not JSON to Python's reader, its error counts, even
    # after a bad record.
    ('[{"ref": "x"}], ]', None),
    (f"[], \"deep\": {DEEP}", None),
    (f"[], \"big\": {'9' * 5000}", None),
])
async def test_bad_documents_fail_and_keep_the_refs(tools, caplog, elements, error):
    text = f'{{"success": true, "window": "W", "elements": {elements}}}'
    if error is None:
        with pytest.raises(Exception) as refused:
            json.loads(text)
        error = str(refused.value)
    tools.prints(text)
    controller = ready()
    controller._ref_map, controller._ref_counter = dict(OLD_REFS), 7
    with caplog.at_level(logging.ERROR, "ombrel.pc.desktop"):
        assert await controller.snapshot() == {"success": False, "error": error}
    assert controller._ref_map == OLD_REFS and controller._ref_counter == 7
    assert [r.getMessage() for r in caplog.records] == [f"Linux AT-SPI2 snapshot failed: {error}"]


async def test_script_text(tools):
    title = 'A "quoted" \\ title\n\U0001F600'
    tools.prints('{"success": false}')
    await ready()._snapshot_linux_atspi(title, 3)
    script = (tools.root / "script.py").read_text(encoding="utf-8")
    walker = open(WALKER, encoding="utf-8").read()
    head, body = walker.split("# settings\n")
    assert script.startswith(head + "# settings\nmax_depth = 3\ntarget_title = ")
    assert script.endswith("\n" + body)
    literal = script[len(head):].splitlines()[2].removeprefix("target_title = ")
    assert "\U0001F600" in literal and ast.literal_eval(literal) == title
    assert json.loads(literal) == title


# xdotool -------------------------------------------------------------------

WINDOWS = [("101", "Mail"), ("102", "Mail draft"), ("103", "Shell")]


@pytest.mark.parametrize("title, expected", [
    ("mail", ("101", "Mail")), (None, ("103", "Shell")), ("", ("103", "Shell")),
    ("nothing", None)])
async def test_xdotool_snapshot(tools, title, expected):
    tools.xdotool(WINDOWS, active="103")
    controller = ready(atspi=False)
    controller._ref_map = dict(OLD_REFS)
    result = await controller.snapshot(title)
    if expected is None:
        assert result == {"success": False, "error": "No window found"}
        assert controller._ref_map == OLD_REFS
        return
    window_id, name = expected
    assert result == {
        "success": True, "window": name, "window_id": window_id, "element_count": 0,
        "platform": "linux_xdotool", "hint": XDOTOOL_HINT,
        "snapshot": f"Window: {name} (id: {window_id})\n\nNote: Full accessibility tree "
                    "requires AT-SPI2.\nInstall: sudo apt install python3-gi gir1.2-atspi-2.0 "
                    "at-spi2-core\nFor now, use coordinate-based interaction via "
                    "desktop_click(x, y)."}
    assert controller._ref_map == {} and controller._ref_counter == 0
    assert (await controller.click_ref(7))["error"].startswith("Ref [7] not found.")


async def test_window_operations(tools):
    windows = [(str(200 + i), "" if i % 7 == 0 else f"Window {i}") for i in range(60)]
    tools.xdotool(windows, active="205")
    controller = ready()
    assert await controller.get_focused_window() == {"success": True, "title": "Window 5"}
    listed = await controller.list_windows()
    shown = [{"id": wid, "title": name} for wid, name in windows[:50] if name]
    assert listed == {"success": True, "windows": shown, "count": len(shown)}
    assert await controller.focus_window("window 1") == {
        "success": True, "window": "window 1", "window_id": "201"}
    assert await controller.focus_window("nowhere") == {
        "success": False, "error": "No window matching: nowhere"}
    assert tools.xdotool_calls() == [
        ["getactivewindow", "getwindowname"], ["search", "--onlyvisible", "--name", ""],
        *[["getwindowname", wid] for wid, _ in windows[:50]],
        ["search", "--name", "window 1"], ["windowactivate", "201"],
        ["search", "--name", "nowhere"]]


@pytest.mark.parametrize("body, error", [
    ("printf 'caf\\351\\n'", "'utf-8' codec can't decode byte 0xe9 in position 3: "
                             "invalid continuation byte"),
    (None, "[Errno 2] No such file or directory: 'xdotool'"),
])
async def test_xdotool_errors(tools, body, error):
    tools.xdotool(body=body)
    if body is None:
        tools.remove("xdotool")
    controller = ready(atspi=False)
    for call in (controller.snapshot, controller.get_focused_window,
                 controller.list_windows, lambda: controller.focus_window("x")):
        assert await call() == {"success": False, "error": error}


async def test_without_xdotool(tools):
    controller = ready(atspi=False, xdotool=False)
    assert (await controller.snapshot())["error"].startswith("No Linux desktop accessibility")
    assert await controller.get_focused_window() == {"success": False,
                                                     "error": "xdotool not available"}
    assert await controller.list_windows() == {"success": False,
                                               "error": "No window listing tool available"}
    assert await controller.focus_window("x") == {"success": False,
                                                  "error": "xdotool not available"}


# Time limits ---------------------------------------------------------------

async def test_hanging_tools_are_stopped_at_their_limits(tools):
    """Each child is killed and reaped at its limit; the loop runs meanwhile."""
    tools.executable("python3", "exec /bin/sleep 60")
    tools.xdotool(body="exec /bin/sleep 60")
    ticks = 0

    async def tick():
        nonlocal ticks
        while True:
            await asyncio.sleep(0.05)
            ticks += 1

    ticker = asyncio.ensure_future(tick())
    started = time.monotonic()
    controller, xdotool_only = ready(), ready(atspi=False)

    async def timed(call):
        result = await call
        return result, round(time.monotonic() - started)

    results = await asyncio.gather(
        timed(controller.snapshot()), timed(xdotool_only.snapshot("x")),
        timed(controller.get_focused_window()), timed(controller.list_windows()),
        timed(controller.focus_window("x")))
    ticker.cancel()
    timed_out = {"success": False, "error": ""}
    assert results == [({"success": False, "error": "AT-SPI2 snapshot timed out"}, 15),
                       (timed_out, 5), (timed_out, 5), (timed_out, 5), (timed_out, 5)]
    assert ticks > 200
    assert tools.children_gone() == 5


async def test_a_cancelled_snapshot_leaves_no_child(tools):
    tools.executable("python3", "exec /bin/sleep 60")
    snapshot = asyncio.ensure_future(ready().snapshot())
    while not (tools.root / "pids").exists():
        await asyncio.sleep(0.01)
    snapshot.cancel()
    with pytest.raises(asyncio.CancelledError):
        await snapshot
    assert tools.children_gone() == 1


# Clicks --------------------------------------------------------------------

@pytest.mark.parametrize("pyautogui, error", [
    (False, "PyAutoGUI not available for clicking. Install: pip install pyautogui"),
    (True, "Direct element clicking via AT-SPI2 is not yet supported. Use screenshot + "
           "coordinate-based click instead: desktop click x=100 y=200")])
async def test_click_ref(pyautogui, error):
    controller = ready(pyautogui=pyautogui)
    result = await controller._click_ref_linux(3, {}, True)
    hint = {"hint": "Take a screenshot first, then click at the element's coordinates."}
    assert result == {"success": False, "error": error, "ref": 3, **(hint if pyautogui else {})}


LINK = '{"ref": 1, "role": "link", "name": "a", "value": "", "depth": 1}'


@pytest.mark.parametrize("text", [
    f'{{"elements": [{LINK}], "window": "W", "success": true}}',
    f'{{"success": true, "window": "X", "elements": [{LINK}], "window": "W"}}',
    f'{{"success": 1, "window": "W", "elements": [{{"ref": 1}}], "elements": [{LINK}]}}',
    f'{{"success": true, "window": "W", "elements": [{{"ref": 1}}, {LINK}], "success": 0}}',
    f'{{"success": true, "window": "W", "elements": [{{"ref": 1}}], ]}}',
    '[{"success": true}]',
    f'{{"success": 1e-400, "window": "W", "elements": [{LINK}]}}',
    f'{{"success": 1e400, "window": "W", "elements": [{LINK}]}}',
    '{"success": true, "window": "W", "elements": [{"ref": 1e-400, "role": "link", "name": "a",'
    ' "value": "", "depth": 1}, ' + LINK + "]}",
])
async def test_documents_are_read_as_json_loads_reads_them(tools, text):
    """Repeated keys (the last counts), keys in any order, and an error
    further on in the text that comes before a bad record."""
    tools.prints(text)
    try:
        data = json.loads(text)
    except ValueError as error:
        expected = {"success": False, "error": str(error)}
    else:
        if type(data) is not dict:
            expected = {"success": False, "error": "'list' object has no attribute 'get'"}
        elif not data.get("success"):
            expected = data
        else:
            context = "\n  link: a" if '"ref": 1e-400' in text else ""
            expected = {"success": True, "window": "W",
                        "snapshot": f'Window: W\n{context}\n  [1] link "a"',
                        "element_count": 1, "platform": "linux_atspi", "hint": HINT}
    assert await ready().snapshot() == expected
