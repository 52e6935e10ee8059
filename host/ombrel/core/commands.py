"""The offline agent's command language: a message becomes one tool call.

    snapshot [TITLE]        desktop_snapshot (with details)
    find NAME               desktop_find
    wait NAME               desktop_wait_for
    click N                 desktop_click_ref
    type N TEXT             desktop_type_ref
    press KEY               desktop_press_key
    windows                 desktop_list_windows
    focus NAME              desktop_focus_window
    screenshot              desktop_screenshot
    skills                  list_skills
    run skill NAME [JSON]   run_skill
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any

HELP = """I work offline: no model is configured, so I understand these commands.
• snapshot [window title] - the numbered elements of a window
• find NAME - the elements of the last snapshot whose name contains NAME
• wait NAME - take snapshots until an element named NAME appears (10 s at most)
• click 3 - click element 3 of the last snapshot
• type 2 hello - type text into element 2
• press ctrl+a - press a key or a combination
• windows - list the open windows
• focus NAME - bring a window to the front
• screenshot - a picture of the screen
• skills - the Python skills I can run
• run skill NAME {"key": "value"} - run a skill with JSON parameters
• count 10 - count slowly (try the stop button)
Set OPENAI_API_KEY (or OPENAI_BASE_URL) to talk to a model instead."""


@dataclass
class Command:
    tool: str = ""
    arguments: dict[str, Any] | None = None
    error: str = ""      # a command word with bad arguments
    count: int = 0       # "count N"
    help: bool = False


def _ref(word: str) -> int | None:
    return int(word) if word.isdigit() and 0 < int(word) < 1_000_000 else None


def parse(text: str) -> Command | None:
    """The command in ``text``, or None when it is not a command."""
    words = text.split(maxsplit=1)
    if not words:
        return None
    verb, rest = words[0].lower(), (words[1].strip() if len(words) > 1 else "")
    if verb in ("help", "?", "/help"):
        return Command(help=True)
    if verb == "snapshot":
        return Command("desktop_snapshot", {"window_title": rest, "details": True} if rest else {"details": True})
    if verb in ("find", "wait"):
        if not rest:
            return Command(error=f"Usage: {verb} NAME (part of an element's name)")
        return Command("desktop_find" if verb == "find" else "desktop_wait_for", {"name": rest})
    if verb == "windows" and not rest:
        return Command("desktop_list_windows", {})
    if verb == "screenshot" and not rest:
        return Command("desktop_screenshot", {})
    if verb == "skills" and not rest:
        return Command("list_skills", {})
    if verb == "click":
        ref = _ref(rest)
        return Command("desktop_click_ref", {"ref": ref}) if ref else Command(error="Usage: click N (a ref number from the last snapshot)")
    if verb == "type":
        parts = rest.split(maxsplit=1)
        ref = _ref(parts[0]) if parts else None
        if ref is None or len(parts) < 2:
            return Command(error="Usage: type N TEXT (a ref number, then the text)")
        return Command("desktop_type_ref", {"ref": ref, "text": parts[1]})
    if verb == "press":
        return Command("desktop_press_key", {"key": rest}) if rest and " " not in rest else Command(error="Usage: press KEY (for example enter or ctrl+a)")
    if verb == "focus":
        return Command("desktop_focus_window", {"title": rest}) if rest else Command(error="Usage: focus NAME (part of a window title)")
    if verb == "count":
        n = _ref(rest)
        return Command(count=n) if n and n <= 1000 else Command(error="Usage: count N (1 to 1000)")
    if verb == "run" and rest.lower().startswith("skill"):
        return _run_skill(rest[5:].strip())
    return None


def _run_skill(rest: str) -> Command:
    usage = 'Usage: run skill NAME {"key": "value"} (the parameters are optional)'
    parts = rest.split(maxsplit=1)
    if not parts:
        return Command(error=usage)
    name, params = parts[0], {}
    if len(parts) > 1:
        try:
            params = json.loads(parts[1])
        except json.JSONDecodeError as e:
            return Command(error=f"The skill parameters are not valid JSON ({e.msg} at column {e.colno}). {usage}")
        if not isinstance(params, dict):
            return Command(error=f"The skill parameters must be a JSON object, not {type(params).__name__}. {usage}")
    return Command("run_skill", {"name": name, "params": params})
