"""A stand-in for macOS's ``osascript``: an executable put first on ``PATH``
that records every script it is given (``osascript -e <script>``) and answers
as the test said.

``Osascript.answer(fragment, stdout, stderr, sleep)`` adds a rule: a script
that contains ``fragment`` gets that output (text or bytes), after sleeping
``sleep`` seconds; the first matching rule wins, and a script that matches
none gets no output. ``scripts`` lists what was run, in order, and ``pids``
the process ids of the runs.
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
import json, os, sys, time
here = {here!r}
script = sys.argv[2] if len(sys.argv) > 2 and sys.argv[1] == "-e" else None
with open(os.path.join(here, "log"), "a") as log:
    log.write(json.dumps({{"argv": sys.argv[1:], "script": script, "pid": os.getpid()}}) + "\\n")
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
"""


def _bytes(text: str | bytes) -> str:
    return (text.encode() if isinstance(text, str) else text).hex()


class Osascript:
    def __init__(self, directory: Path, monkeypatch):
        self.dir = directory
        self.dir.mkdir(parents=True, exist_ok=True)
        self._rules: list[dict] = []
        self._save()
        program = self.dir / "osascript"
        program.write_text(PROGRAM.format(python=sys.executable, here=str(self.dir)))
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
