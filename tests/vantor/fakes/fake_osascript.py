"""A stand-in for macOS's ``osascript``: an executable put first on ``PATH``
that records every script it is given (``osascript -e <script>``) and answers
as the test said.

``Osascript.answer(fragment, stdout, stderr, sleep)`` adds a rule: a script
that contains ``fragment`` gets that output (text or bytes), after sleeping
``sleep`` seconds; the first matching rule wins. ``Osascript.window(app,
name, elements)`` describes the frontmost application's first window (see
``Element``): a script that no rule matches is then answered as System
Events would answer it there (the frontmost application, the window of a
title, the element tree with its settings, finding, clicking and typing into
an element); else it gets no output. ``scripts`` lists what was run, in
order, and ``pids`` the process ids of the runs.
"""

from __future__ import annotations

import json
import os
import re
import stat
import sys
from pathlib import Path

PROGRAM = """\
#!{python} -S
import sys
sys.path.insert(0, {fakes!r})
from fake_osascript import serve
serve({here!r})
"""


def serve(here: str) -> None:
    """What the fake program does: logs the run, then answers by the first
    matching rule, or from the window."""
    import time
    script = sys.argv[2] if len(sys.argv) > 2 and sys.argv[1] == "-e" else None
    with open(os.path.join(here, "log"), "a") as log:
        log.write(json.dumps({"argv": sys.argv[1:], "script": script, "pid": os.getpid()}) + "\n")
    with open(os.path.join(here, "rules")) as f:
        rules = json.load(f)
    for rule in rules:
        if script is not None and rule["fragment"] in script:
            sys.stdout.buffer.write(bytes.fromhex(rule["stdout"]))
            sys.stderr.buffer.write(bytes.fromhex(rule["stderr"]))
            sys.stdout.flush()
            sys.stderr.flush()
            time.sleep(rule["sleep"])
            sys.exit(rule["status"])
    window = os.path.join(here, "window")
    if script is not None and os.path.exists(window):
        with open(window) as f:
            sys.stdout.write(SystemEvents(json.load(f)).answer(script))


def _bytes(text: str | bytes) -> str:
    return (text.encode() if isinstance(text, str) else text).hex()


class Osascript:
    def __init__(self, directory: Path, monkeypatch):
        self.dir = directory
        self.dir.mkdir(parents=True, exist_ok=True)
        self._rules: list[dict] = []
        self._save()
        program = self.dir / "osascript"
        program.write_text(PROGRAM.format(python=sys.executable, here=str(self.dir),
                                          fakes=str(Path(__file__).resolve().parent)))
        program.chmod(program.stat().st_mode | stat.S_IXUSR)
        monkeypatch.setenv("PATH", f"{self.dir}{os.pathsep}{os.environ.get('PATH', '')}")

    def answer(self, fragment: str, stdout: str | bytes = "", stderr: str | bytes = "",
               sleep: float = 0, status: int = 0) -> Osascript:
        self._rules.append({"fragment": fragment, "stdout": _bytes(stdout),
                            "stderr": _bytes(stderr), "sleep": sleep, "status": status})
        self._save()
        return self

    def _save(self) -> None:
        (self.dir / "rules").write_text(json.dumps(self._rules))

    def window(self, app: str, name: str, elements: list[Element]) -> Osascript:
        """The frontmost application and its window 1, for the scripts that
        no rule answers; call again after a change of the window."""
        (self.dir / "window").write_text(json.dumps(
            {"app": app, "name": name, "elements": [e.to_json() for e in elements]}))
        return self

    def _log(self) -> list[dict]:
        log = self.dir / "log"
        if not log.exists():
            return []
        return [json.loads(line) for line in log.read_text().splitlines()]

    @property
    def runs(self) -> list[list[str]]:
        return [entry["argv"] for entry in self._log()]

    @property
    def scripts(self) -> list[str]:
        return [entry["script"] for entry in self._log()]

    @property
    def pids(self) -> list[int]:
        return [entry["pid"] for entry in self._log()]


_LITERAL = re.compile(r'"((?:[^"\\]|\\.)*)"', re.S)


def literals(script: str) -> list[str]:
    """The string literals of an AppleScript text, their escapes undone (the
    text outside the literals holds no double quotes of its own: comments
    are read as code here, which is stricter than AppleScript)."""
    return [re.sub(r"\\(.)", r"\1", body) for body in _LITERAL.findall(script)]


# A model of System Events --------------------------------------------------

class Element:
    """A UI element of the window: role ("AXButton", ...), title,
    description, value, enabled, and for details focused, selected,
    expanded, position and size; its children come in `entire contents`
    after it."""

    def __init__(self, role: str, title: str = "", *children: Element, description: str = "",
                 value: str = "", enabled: bool = True, focused: bool = False,
                 selected: bool = False, expanded: bool = False, position=(0, 0),
                 size=(10, 10)):
        self.role, self.title, self.children = role, title, list(children)
        self.description, self.value, self.enabled = description, value, enabled
        self.focused, self.selected, self.expanded = focused, selected, expanded
        self.position, self.size = position, size

    def to_json(self) -> dict:
        data = dict(vars(self))
        data["children"] = [child.to_json() for child in self.children]
        return data


def _literal_after(script: str, pattern: str) -> str | None:
    found = re.search(pattern + r'"((?:[^"\\]|\\.)*)"', script)
    return re.sub(r"\\(.)", r"\1", found.group(1)) if found else None


class SystemEvents:
    """Answers the controller's scripts as System Events would, for one
    window of the frontmost application."""

    def __init__(self, model: dict):
        self.app, self.name, self.elements = model["app"], model["name"], model["elements"]

    def flat(self, elements):
        for element in elements:
            yield element
            yield from self.flat(element["children"])

    def find(self, role: str | None, name: str):
        for element in self.flat(self.elements):
            if (role is None or element["role"] == role) and name in (
                    element["title"], element["description"]):
                return element
        return None

    def answer(self, script: str) -> str:
        if "whose frontmost is true" in script:
            return self.app + "\n"
        if "set foundApp" in script:
            title = _literal_after(script, r"if name of w contains ")
            return self.app if title is not None and title in self.name else ""
        if 'set output to "Window: "' in script:
            return self.tree(script)
        if 'return "found"' in script:
            found = self.find(_literal_after(script, r"if \(role of elem\) is "),
                              _literal_after(script, r"if elemTitle is "))
            return "found" if found else "not_found"
        if "click elem" in script:
            found = self.find(None, _literal_after(script, r"if elemTitle is "))
            return ("typed" if "keystroke" in script else "clicked") if found else "not_found"
        return ""

    def tree(self, script: str) -> str:
        def setting(name, default):
            found = re.search(rf"set {name} to (\w+)", script)
            return found.group(1) if found else default

        max_elements = int(setting("maxElements", "0"))
        max_output = int(setting("maxOutput", "0"))
        details = setting("withDetails", "false") == "true"
        has_root = re.search(r"if (true|false) then\s+set rootElement", script)
        output = f"Window: {self.name}\n\n"
        elements = list(self.flat(self.elements))
        if has_root and has_root.group(1) == "true":
            root = self.find(_literal_after(script, r"if \(role of elem\) is "),
                             _literal_after(script, r"if elemTitle is "))
            if root is None:
                return output + "Stale: the root element is gone"
            elements = [root, *self.flat(root["children"])]
        collected, budget = 0, ""
        for e in elements:
            if max_elements and collected >= max_elements:
                budget = "max_elements"
                break
            if max_output and len(output) > max_output:
                budget = "max_chars"
                break
            collected += 1
            line = "|".join([e["role"], e["title"], e["description"], e["value"],
                             "true" if e["enabled"] else "false"])
            if details:
                states = "".join(f"{state}," for state in ("focused",) if e[state])
                if e["role"] in ("AXCheckBox", "AXRadioButton") and e["value"] == "1":
                    states += "checked,"
                states += "".join(f"{state}," for state in ("selected", "expanded") if e[state])
                bounds = ",".join(str(n) for n in (*e["position"], *e["size"]))
                line += f"|{states}|{bounds}"
            output += line + "\n"
        if budget:
            output += f"Cut: {budget}|{len(elements) - collected}\n"
        return output
