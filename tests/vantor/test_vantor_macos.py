"""The macOS backend against a fake ``osascript``: the scripts it runs, how it
reads their answers, the ref table it builds and every result shape."""

import asyncio
import logging
import os
import time

import pytest
from fake_osascript import Osascript, literals

from ombrel.pc import vantor

try:
    from asyncio import Runner
except ImportError:  # CPython 3.10
    from backports.asyncio.runner import Runner

FRONTMOST = 'tell application "System Events" to get name of first process whose frontmost is true'
FRONT = "whose frontmost"     # the frontmost application's script only
HINT = "Take a desktop_snapshot() to see the updated state."
PERMISSION_HINT = ("Ensure the app has accessibility permissions. Go to System Settings > "
                   "Privacy & Security > Accessibility and add Terminal / your terminal app.")

TREE = "\n".join([
    "Window: Document 1",
    "",
    "AXButton|OK|||true",
    "AXButton||Close button||TRUE",          # label from the description
    "AXButton|Disabled|||false",
    "AXMenuButton|More|||true",              # interactive by fragment ("Button")
    "AXTable||||true",                       # ... and "Tab"
    "AXTextField|Name||Ann|true",
    "AXTextField|Same||Same|true",
    "AXTextArea|||" + "v" * 150 + "|true",
    "AXCheckBox|a|b|c|d|true",               # "|" in a field: the fifth decides
    "AXCheckBox|a|b|c|true|x",
    "  AXStaticText | Hello |  |  | true  ",
    "AXGroup||" + "g" * 201 + "||true",
    "AXScrollArea|" + "s" * 200 + "|||true",
    "AXStaticText||||true",                  # no label: no line
    "AXImage|Logo|||true",                   # neither kind
    "AXWindow|Main|||false",                 # context lines ignore enabledness
    "TextField|Plain|||true",                # no "AX": no fragment rule
    "Button|Win|||true",                     # a member of INTERACTIVE_TYPES all the same
    "AXButton|broken",                       # fewer than five fields
    "Error reading UI: Can’t get window 1.",
]) + "\n"

SNAPSHOT = "\n".join([
    "Window: Document 1",
    '  [1] button "OK"',
    '  [2] button "Close button"',
    '  [3] menubutton "More"',
    "  [4] table",
    '  [5] textfield "Name" value="Ann"',
    '  [6] textfield "Same"',
    '  [7] textarea value="' + "v" * 100 + '"',
    '  [8] checkbox "a" value="c"',
    "  statictext: Hello",
    "  group: " + "g" * 200 + "...",
    "  scrollarea: " + "s" * 200,
    "  window: Main",
    '  [9] button "Win"',
    "Error reading UI: Can’t get window 1.",
])


def entry(role, title="", description="", value=""):
    return {"role": role, "title": title, "description": description, "value": value,
            "backend": "macos", "app": "TextEdit"}


class SkewedClockLoop(asyncio.SelectorEventLoop):
    """An event loop whose clock can be put forward, so that a time limit of
    seconds runs out at once."""

    skew = 0.0

    def time(self):
        return super().time() + self.skew


def run_past_the_limit(osascript, operation, fragment):
    """Runs `operation()` and, once the fake is running a script that contains
    `fragment`, puts the clock an hour forward."""
    async def main():
        task = asyncio.ensure_future(operation())
        while not any(fragment in s for s in osascript.scripts):
            await asyncio.sleep(0.01)
        await asyncio.sleep(0.05)
        asyncio.get_running_loop().skew = 3600.0
        return await task

    with Runner(loop_factory=SkewedClockLoop) as runner:
        return runner.run(main())


@pytest.mark.parametrize("present", [True, False])
def test_the_probe_looks_for_osascript(macos, monkeypatch, caplog, tmp_path, present):
    if not present:
        monkeypatch.setenv("PATH", str(tmp_path))
    controller = vantor.Vantor()
    with caplog.at_level(logging.INFO, "ombrel.pc.desktop"):
        controller._ensure_init()
    assert controller._macos_available is present
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("INFO", "macOS AppleScript accessibility available") if present else
        ("WARNING", "osascript not found — macOS accessibility unavailable")]


async def test_snapshot_of_the_frontmost_application(macos):
    macos.answer(FRONT, " TextEdit\n").answer("entire contents", TREE, status=1)
    controller = vantor.Vantor()
    controller._ref_map[40] = {"backend": "macos"}
    result = await controller.snapshot()
    assert result == {"success": True, "window": "TextEdit", "snapshot": SNAPSHOT,
                      "element_count": 9, "platform": "macos",
                      "hint": "Use ref numbers to interact: desktop_click_ref(1), "
                              "desktop_type_ref(2, 'text'), etc."}
    assert list(result) == ["success", "window", "snapshot", "element_count", "platform", "hint"]
    assert controller._ref_counter == 9
    assert controller._ref_map == {
        1: entry("AXButton", "OK"), 2: entry("AXButton", description="Close button"),
        3: entry("AXMenuButton", "More"), 4: entry("AXTable"),
        5: entry("AXTextField", "Name", value="Ann"), 6: entry("AXTextField", "Same", value="Same"),
        7: entry("AXTextArea", value="v" * 150), 8: entry("AXCheckBox", "a", "b", "c"),
        9: entry("Button", "Win")}
    first, tree = macos.scripts
    assert first == FRONTMOST
    for fragment in ['tell process "TextEdit"', 'set windowName to "TextEdit"',
                     "set frontmost to true\n", "delay 0.2\n", "entire contents of window 1",
                     "& linefeed & linefeed", 'on error errMsg\n', '"Error reading UI: "']:
        assert fragment in tree


async def test_snapshot_of_a_window_by_title(macos):
    macos.answer("contains", "Notes").answer("entire contents", "Window: Ideas\n\nAXLink|Home|||true")
    controller = vantor.Vantor()
    result = await controller.snapshot("Ide", max_depth=2)
    assert (result["window"], result["snapshot"]) == ("Notes", 'Window: Ideas\n  [1] link "Home"')
    lookup, tree = macos.scripts
    assert 'if name of w contains "Ide" then' in lookup and "whose visible is true" in lookup
    assert 'tell process "Notes"' in tree and "Requested depth: 2 " in tree


@pytest.mark.parametrize("title, rules, expected", [
    (None, [], {"error": "macOS accessibility not available (osascript not found)."}),
    ("Nothing", [("contains", "\n")], {"error": "No window found matching: Nothing"}),
    ("", [(FRONT, "")], {"error": "No frontmost application found"}),
    (None, [(FRONT, "Mail"), ("entire", " \n", "execution error: not allowed (-1743)\n")],
     {"error": "Could not read accessibility tree: execution error: not allowed (-1743)",
      "hint": PERMISSION_HINT}),
])
async def test_snapshot_failures_keep_the_refs(macos, monkeypatch, tmp_path, title, rules,
                                               expected):
    if not rules:
        monkeypatch.setenv("PATH", str(tmp_path))
    for rule in rules:
        macos.answer(*rule)
    controller = vantor.Vantor()
    controller._ref_map[3], controller._ref_counter = entry("AXButton", "Old"), 3
    assert await controller.snapshot(title) == {"success": False, **expected}
    assert controller._ref_map == {3: entry("AXButton", "Old")} and controller._ref_counter == 3


@pytest.mark.parametrize("depth, error", [
    ("deep", "max_depth must be a number, not str"),        # raised in C++
    (float("nan"), "cannot convert float NaN to integer"),  # raised by Python
])
async def test_snapshot_errors_of_either_side_are_failures(macos, caplog, depth, error):
    controller = vantor.Vantor()
    controller._ensure_init()
    with caplog.at_level(logging.ERROR, "ombrel.pc.desktop"):
        assert await controller._snapshot_macos(None, depth) == {"success": False, "error": error}
    assert [r.getMessage() for r in caplog.records] == ["macOS snapshot failed: " + error]
    assert macos.scripts == []


async def test_snapshot_decoding(macos, monkeypatch, caplog):
    controller = vantor.Vantor()
    macos.answer(FRONT, b"\xffFinder")
    with caplog.at_level(logging.INFO, "ombrel.pc.desktop"):
        result = await controller.snapshot()
    error = "'utf-8' codec can't decode byte 0xff in position 0: invalid start byte"
    assert result == {"success": False, "error": error}
    assert [(r.levelname, r.getMessage()) for r in caplog.records][-1] == \
        ("ERROR", "macOS snapshot failed: " + error)

    other = Osascript(macos.dir.parent / "second", monkeypatch)     # first on PATH now
    other.answer(FRONT, "Finder").answer("entire", b"Window: \xff\n\nAXButton|\xfe|||true")
    result = await controller.snapshot()
    assert result["snapshot"] == 'Window: \ufffd\n  [1] button "\ufffd"'


@pytest.mark.parametrize("title, description, answer, double, expected", [
    ("OK", "Confirm", "clicked", False,
     {"success": True, "action": "click", "ref": 1, "element": 'AXButton "OK"', "hint": HINT}),
    ("", "Close", "clicked\n", True,
     {"success": True, "action": "double_click", "ref": 1, "element": 'AXButton "Close"',
      "hint": HINT}),
    ("OK", "", "not_found", False,
     {"success": False, "error": "Element 'OK' not found in current window", "ref": 1}),
    ("OK", "", "error:Can’t get window 1 of process “TextEdit”.", False,
     {"success": False, "error": "error:Can’t get window 1 of process “TextEdit”.", "ref": 1}),
    ("OK", "", "", False, {"success": False, "error": "", "ref": 1}),
    ("", "", "clicked", False,
     {"success": False, "error": "Element has no identifiable name for clicking", "ref": 1}),
])
async def test_click(macos, title, description, answer, double, expected):
    macos.answer("click elem", answer)
    controller = vantor.Vantor()
    controller._ref_map[1] = entry("AXButton", title, description)
    assert await controller.click_ref(1, double_click=double) == expected
    if not title and not description:
        assert macos.scripts == []
        return
    (script,) = macos.scripts
    name = title or description
    assert f'if elemTitle is "{name}" or elemDesc is "{name}" then' in script
    assert 'tell process "TextEdit"' in script
    assert "click elem\n" in script and "delay 0.1\n" in script
    assert (await controller.toggle_ref(1)) == (await controller.click_ref(1))
    assert (await controller.select_ref(1, "x"))["error"] == "Select not yet supported on macos"


@pytest.mark.parametrize("title, answer, clear, enter, expected", [
    ("Name", "typed", True, False,
     {"success": True, "action": "type", "ref": 1, "text": 'say "hi" \\o/',
      "pressed_enter": False}),
    ("Name", "typed", False, True,
     {"success": True, "action": "type", "ref": 1, "text": 'say "hi" \\o/',
      "pressed_enter": True}),
    ("Name", "not_found", True, False,
     {"success": False, "error": "Element 'Name' not found", "ref": 1}),
    ("Name", "error:denied", True, False, {"success": False, "error": "error:denied", "ref": 1}),
    ("", "typed", True, False,
     {"success": False, "error": "Element has no identifiable name for typing", "ref": 1}),
])
async def test_type(macos, title, answer, clear, enter, expected):
    macos.answer("keystroke", answer)
    controller = vantor.Vantor()
    controller._ref_map[1] = entry("AXTextField", title)
    assert await controller.type_ref(1, 'say "hi" \\o/', clear_first=clear,
                                     press_enter=enter) == expected
    if not title:
        assert macos.scripts == []
        return
    (script,) = macos.scripts
    steps = ["click elem", "delay 0.1",
             f'if {str(clear).lower()} then keystroke "a" using command down', "delay 0.05",
             'keystroke "say \\"hi\\" \\\\o/"', f"if {str(enter).lower()} then keystroke return",
             'return "typed"']
    at = script.index('if elemTitle is "Name" or elemDesc is "Name" then')
    assert [line.strip() for line in script[at:].splitlines()[1:8]] == steps


@pytest.mark.parametrize("window, title", [("Downloads", "Downloads"), ("", "Finder")])
async def test_focused_window(macos, window, title):
    macos.answer(FRONT, "Finder\n").answer("window 1 of process", window)
    assert await vantor.Vantor().get_focused_window() == {"success": True, "app": "Finder",
                                                          "title": title}
    assert macos.scripts == [
        FRONTMOST, 'tell application "System Events" to get name of window 1 of process "Finder"']


@pytest.mark.parametrize("output, windows", [
    ("Finder|Downloads\nno bar here\nTerminal| a|b |\nMail|\n",
     [("Finder", "Downloads"), ("Terminal", "a|b |"), ("Mail", "")]),
    ("", []),
])
async def test_list_windows(macos, output, windows):
    macos.answer("every window of p", output)
    result = await vantor.Vantor().list_windows()
    assert result == {"success": True, "windows": [{"app": a, "title": t} for a, t in windows],
                      "count": len(windows)}


@pytest.mark.parametrize("answer, expected", [
    ("Safari\n", {"success": True, "window": "Doc", "app": "Safari"}),
    ("", {"success": False, "error": "No window matching: Doc"}),
])
async def test_focus_window(macos, answer, expected):
    macos.answer("set frontmost of p to true", answer)
    assert await vantor.Vantor().focus_window("Doc") == expected
    (script,) = macos.scripts
    assert 'if name of w contains "Doc" then' in script and "return name of p" in script


@pytest.mark.parametrize("call", [
    lambda c: c.get_focused_window(), lambda c: c.list_windows(), lambda c: c.focus_window("x"),
    lambda c: c.click_ref(1), lambda c: c.type_ref(1, "x"),
])
async def test_operations_without_osascript_fail(macos, monkeypatch, tmp_path, call):
    controller = vantor.Vantor()
    controller._ensure_init()
    monkeypatch.setenv("PATH", str(tmp_path))
    controller._ref_map[1] = entry("AXButton", "OK")
    result = await call(controller)
    assert result["success"] is False and "No such file or directory" in result["error"]


EVIL = 'x" & (do shell script "touch /tmp/owned") & "\\'


@pytest.mark.parametrize("rules, call", [
    ([], lambda c, v: c.click_ref(1)),
    ([], lambda c, v: c.type_ref(1, v)),
    ([], lambda c, v: c.focus_window(v)),
    ([("contains", "TextEdit"), ("entire", "Window: w")], lambda c, v: c.snapshot(v)),
    ([(FRONT, "{v}"), ("entire", "Window: w")], lambda c, v: c.snapshot()),
    ([(FRONT, "{v}")], lambda c, v: c.get_focused_window()),
    ([], lambda c, v: c.press_key(v)),
    ([], lambda c, v: c.press_key("cmd+" + v)),
])
async def test_no_value_escapes_its_string_literal(tmp_path, monkeypatch, macos, rules, call):
    """Every name, title, text and key is exactly one literal of its script,
    wherever a harmless value is one."""
    async def scripts(value, fake):
        for fragment, answer in rules:
            fake.answer(fragment, answer.format(v=value))
        controller = vantor.Vantor()
        controller._ref_map[1] = dict(entry("AXTextField", value), app=value)
        assert (await call(controller, value))["success"] is not None
        return fake.scripts

    harmless = await scripts("v", macos)
    evil = await scripts(EVIL, Osascript(tmp_path / "evil", monkeypatch))
    assert len(evil) == len(harmless) > 0
    assert any("v" in literals(good) for good in harmless)
    for good, bad in zip(harmless, evil):
        assert literals(bad) == [EVIL if text == "v" else text for text in literals(good)]


@pytest.mark.parametrize("fragment, call, expected", [
    (FRONT, lambda c: c.snapshot(),
     {"success": False, "error": "AppleScript timed out reading accessibility tree"}),
    ("entire", lambda c: c.snapshot(),
     {"success": False, "error": "AppleScript timed out reading accessibility tree"}),
    ("click elem", lambda c: c.click_ref(1), {"success": False, "ref": 1}),
    ("keystroke", lambda c: c.type_ref(1, "x"), {"success": False, "ref": 1}),
    ("window 1 of process", lambda c: c.get_focused_window(), {"success": False}),
    ("every window", lambda c: c.list_windows(), {"success": False}),
    ("key code", lambda c: c.press_key("enter"), {"success": False}),
])
def test_a_script_past_its_time_limit_is_killed(macos, fragment, call, expected):
    macos.answer(fragment, sleep=120).answer(FRONT, "TextEdit")
    controller = vantor.Vantor()
    controller._ref_map[1] = entry("AXButton", "OK")
    result = run_past_the_limit(macos, lambda: call(controller), fragment)
    assert {k: v for k, v in result.items() if k in expected} == expected
    assert set(result) == set(expected) | {"error"}
    # Killed and reaped: at once as a rule; the bridge waits for the reap
    # only a moment, so a loaded machine gets a few seconds more.
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        try:
            os.kill(macos.pids[-1], 0)
        except ProcessLookupError:
            break
        time.sleep(0.05)
    with pytest.raises(ProcessLookupError):
        os.kill(macos.pids[-1], 0)
