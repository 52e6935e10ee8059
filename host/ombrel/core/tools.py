"""The agent's tools: the desktop controller and the skill runner.

``Tools`` turns each operation into a plain result dictionary ("success",
and "error" on failure), whatever goes wrong underneath: a missing display,
a backend that is not there, a skill that does not load. ``SCHEMAS``
describes the same operations to a chat model (function calling).
"""

from __future__ import annotations

import ast
import base64
import logging
import re
from pathlib import Path
from typing import Any

from ombrel.core import screen

logger = logging.getLogger("ombrel.host.tools")

SKILL_NAME = re.compile(r"[A-Za-z][A-Za-z0-9_]{0,63}")


def _schema(name: str, description: str, properties: dict[str, Any] | None = None,
            required: tuple[str, ...] = ()) -> dict[str, Any]:
    return {"type": "function", "function": {
        "name": name, "description": description,
        "parameters": {"type": "object", "properties": properties or {}, "required": list(required)}}}


# What a snapshot may cost an agent unless it asks for more: a longer window
# is cut, with a last line saying how to narrow it.
SNAPSHOT_MAX_ELEMENTS = 400
SNAPSHOT_MAX_CHARS = 12_000
# The longest wait_for an agent may ask for, in seconds.
WAIT_LIMIT = 60

SCHEMAS = [
    _schema("desktop_snapshot", "Numbered list of the elements of the focused window (or of the "
            "window whose title contains window_title). Refs stay valid until the next snapshot. "
            "A long window is cut (its last line says so): take root (a ref) for one element's "
            "subtree. details adds states ([focused], [checked], ...) and bounds (@x,y,w,h); "
            "diff answers only what changed since the previous snapshot of the window.",
            {"window_title": {"type": "string"}, "root": {"type": "integer"},
             "details": {"type": "boolean"}, "diff": {"type": "boolean"},
             "max_elements": {"type": "integer"}}),
    _schema("desktop_find", "The elements of the latest snapshot whose name contains name and/or "
            "whose kind is role, with their refs and lines (no desktop access).",
            {"name": {"type": "string"}, "role": {"type": "string"}}),
    _schema("desktop_wait_for", "Take snapshots until an element whose name contains name "
            "(and/or of kind role) appears, for timeout seconds at most (default 10); answers "
            "like desktop_find.",
            {"name": {"type": "string"}, "role": {"type": "string"}, "timeout": {"type": "number"},
             "window_title": {"type": "string"}}),
    _schema("desktop_click_ref", "Click the element with this ref from the latest snapshot. A ref "
            "whose element changed since is refused as stale: take a new snapshot.",
            {"ref": {"type": "integer"}}, ("ref",)),
    _schema("desktop_type_ref", "Type text into the element with this ref (refused as stale when "
            "the element changed since the snapshot).",
            {"ref": {"type": "integer"}, "text": {"type": "string"}}, ("ref", "text")),
    _schema("desktop_press_key", "Press a key or a combination such as ctrl+a.",
            {"key": {"type": "string"}}, ("key",)),
    _schema("desktop_list_windows", "List the open windows."),
    _schema("desktop_focus_window", "Bring the window whose title contains this text to the front.",
            {"title": {"type": "string"}}, ("title",)),
    _schema("desktop_screenshot", "Take a screenshot of the screen (shown to the user)."),
    _schema("list_skills", "List the Python skills that run_skill can run."),
    _schema("run_skill", "Run a Python skill by name with a JSON object of parameters.",
            {"name": {"type": "string"}, "params": {"type": "object"}}, ("name",)),
]


def failure(error: str, **extra: Any) -> dict[str, Any]:
    return {"success": False, "error": error, **extra}


class Tools:
    """What the agents can do. ``vantor`` is an ``ombrel.pc.vantor.Vantor``,
    ``runner`` an ``ombrel.skills.corvex.PythonSkillRunner``; ``skill_dirs``
    are searched in order for "<name>.py"."""

    def __init__(self, vantor: Any, runner: Any, skill_dirs: list[Path]) -> None:
        self.vantor = vantor
        self.runner = runner
        self.skill_dirs = [Path(d) for d in skill_dirs]

    async def call(self, tool: str, arguments: dict[str, Any]) -> dict[str, Any]:
        """Run one tool; never raises for bad arguments or failing tools."""
        method = getattr(self, "_" + tool, None) if tool in NAMES else None
        if method is None:
            return failure(f"Unknown tool: {tool}")
        if not isinstance(arguments, dict):
            return failure(f"The arguments of {tool} must be a JSON object")
        try:
            return await method(**arguments)
        except TypeError as e:
            return failure(f"Bad arguments for {tool}: {e}")
        except Exception as e:  # a tool failing must not end the turn
            logger.exception("Tool %s failed", tool)
            return failure(f"{tool} failed: {type(e).__name__}: {e}")

    # Desktop.

    async def _desktop(self, operation: str, *args: Any, **options: Any) -> dict[str, Any]:
        missing = screen.display_missing()
        if missing:
            return failure(missing)
        return await getattr(self.vantor, operation)(*args, **options)

    async def _desktop_snapshot(self, window_title: str | None = None, root: int | None = None,
                                details: bool = False, diff: bool = False,
                                max_elements: int | None = None) -> dict[str, Any]:
        return await self._desktop(
            "snapshot", window_title or None, root=int(root) if root else None,
            details=bool(details), diff=bool(diff), max_chars=SNAPSHOT_MAX_CHARS,
            max_elements=int(max_elements) if max_elements else SNAPSHOT_MAX_ELEMENTS)

    async def _desktop_find(self, name: str | None = None, role: str | None = None) -> dict[str, Any]:
        return await self.vantor.find(name or None, role or None)

    async def _desktop_wait_for(self, name: str | None = None, role: str | None = None,
                                timeout: float = 10, window_title: str | None = None) -> dict[str, Any]:
        return await self._desktop("wait_for", name or None, role or None,
                                   timeout=min(float(timeout), WAIT_LIMIT),
                                   window_title=window_title or None)

    async def _desktop_click_ref(self, ref: int) -> dict[str, Any]:
        return await self._desktop("click_ref", int(ref), verify=True)

    async def _desktop_type_ref(self, ref: int, text: str) -> dict[str, Any]:
        return await self._desktop("type_ref", int(ref), str(text), verify=True)

    async def _desktop_press_key(self, key: str) -> dict[str, Any]:
        return await self._desktop("press_key", str(key))

    async def _desktop_list_windows(self) -> dict[str, Any]:
        return await self._desktop("list_windows")

    async def _desktop_focus_window(self, title: str) -> dict[str, Any]:
        return await self._desktop("focus_window", str(title))

    async def _desktop_screenshot(self) -> dict[str, Any]:
        png, reason = await screen.capture()
        if png is None:
            return failure(reason)
        return {"success": True, "image_base64": base64.b64encode(png).decode()}

    # Skills.

    def skill_path(self, name: str) -> Path | None:
        for folder in self.skill_dirs:
            path = folder / (name + ".py")
            if path.is_file():
                return path
        return None

    def skill_names(self) -> list[str]:
        names = {path.stem for folder in self.skill_dirs if folder.is_dir()
                 for path in folder.glob("*.py") if SKILL_NAME.fullmatch(path.stem)}
        return sorted(names)

    def needs_approval(self, tool: str, arguments: Any) -> str:
        """Why this call needs the user's approval, or "" when it does not:
        a skill that runs shell commands (it calls ``ctx.shell``) or that
        declares ``REQUIRES_APPROVAL = True``."""
        if tool != "run_skill" or not isinstance(arguments, dict):
            return ""
        name = arguments.get("name")
        path = self.skill_path(name) if isinstance(name, str) and SKILL_NAME.fullmatch(name) else None
        if path is None:
            return ""
        try:
            tree = ast.parse(path.read_text(encoding="utf-8"))
        except (SyntaxError, ValueError, OSError):
            return ""  # it cannot run either: the runner reports why
        for node in ast.walk(tree):
            if isinstance(node, ast.Attribute) and node.attr == "shell":
                return f"The skill {name} runs shell commands"
            if (isinstance(node, ast.Assign) and node.targets and isinstance(node.targets[0], ast.Name)
                    and node.targets[0].id == "REQUIRES_APPROVAL"
                    and isinstance(node.value, ast.Constant) and node.value.value is True):
                return f"The skill {name} asks for approval"
        return ""

    async def _list_skills(self) -> dict[str, Any]:
        return {"success": True, "skills": self.skill_names(),
                "folders": [str(folder) for folder in self.skill_dirs]}

    async def _run_skill(self, name: str, params: Any = None) -> dict[str, Any]:
        if not isinstance(name, str) or not SKILL_NAME.fullmatch(name):
            return failure(f"Not a skill name: {name!r} (letters, digits and _ only)")
        params = {} if params is None else params
        if not isinstance(params, dict):
            return failure("The parameters of a skill must be a JSON object")
        path = self.skill_path(name)
        if path is None:
            known = ", ".join(self.skill_names()) or "none"
            return failure(f"No skill named {name} (skills: {known})")
        from ombrel.skills import corvex  # its OUTPUT_DIR as it is now
        output = Path(corvex.OUTPUT_DIR) / name
        before = _files(output)
        result = (await self.runner.run(name, params, str(path))).to_dict()
        # The runner lists every file in the skill's output folder; the
        # user is shown the ones this run wrote (new or changed).
        result["output_files"] = [path for path in result.get("output_files") or []
                                  if _stamp(Path(path)) not in (None, before.get(Path(path).name))]
        return result


def _stamp(path: Path) -> tuple[int, int] | None:
    """What tells a file's versions apart: its modification time and size."""
    try:
        info = path.stat()
    except OSError:
        return None
    return info.st_mtime_ns, info.st_size


def _files(folder: Path) -> dict[str, tuple[int, int] | None]:
    try:
        return {entry.name: _stamp(entry) for entry in folder.iterdir()}
    except OSError:
        return {}


NAMES = {schema["function"]["name"] for schema in SCHEMAS}
