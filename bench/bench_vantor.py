"""Cost of a Windows accessibility snapshot of a large window.

    PYTHONPATH=build/rel-vt/package python bench/bench_vantor.py [--repeat 7]

A fake pywinauto (its "uia" backend: element wrappers with
`friendly_class_name()`, `window_text()`, `element_info`, `iface_value`,
`children()`) presents one window of 20,000 elements, eight levels deep, with
realistic kinds, names, automation ids and values. Its methods do nothing but
return what they hold, so they are as cheap as a Python library call can be.

Figures:
(1) snapshot: `Vantor.snapshot()` as the host awaits it (the whole walk in one
    call on the loop's default executor); time per element.
(2) library calls: the same calls on the same tree, in the same order, made
    by a plain Python loop; this is the least any walker making them pays,
    and it includes the loop's own interpretation, so it overstates the
    library's share.
(3) outside the library: (1) minus (2), per element and as a share of (1);
    a lower bound of the time our code spends on top of the library calls
    (reading results, the kind sets, the text, the ref table).
(4) for comparison, the same walk written in plain Python (the text as a
    list of lines joined once, the entries as dicts), called directly.

Without PYTHONPATH the Release build in build/rel-vt is used. Build it with
    cmake -S . -B build/rel-vt -G Ninja -DCMAKE_BUILD_TYPE=Release
    ninja -C build/rel-vt vantor
"""
import argparse
import asyncio
import random
import statistics
import sys
import types
from pathlib import Path

import timing

ROOT = Path(__file__).resolve().parents[1]
ELEMENTS = 20_000
DEPTH = 8

try:
    from ombrel.pc import vantor
except ImportError:
    sys.path.insert(0, str(ROOT / "build" / "rel-vt" / "package"))
    from ombrel.pc import vantor


# --------------------------------------------------------------------------
# The fake library, as cheap as it can be

class Info:
    __slots__ = ("automation_id", "enabled")

    def __init__(self, automation_id, enabled):
        self.automation_id = automation_id
        self.enabled = enabled


class Pattern:
    __slots__ = ("CurrentValue",)

    def __init__(self, value):
        self.CurrentValue = value


class Element:
    __slots__ = ("kind", "name", "element_info", "iface_value", "kids")

    def __init__(self, kind, name, auto_id="", enabled=True, value=None):
        self.kind, self.name = kind, name
        self.element_info = Info(auto_id, enabled)
        self.iface_value = Pattern(value) if value is not None else None
        self.kids = []

    def friendly_class_name(self):
        return self.kind

    def window_text(self):
        return self.name

    def children(self):
        return self.kids

    def wrapper_object(self):
        return self


KINDS = [  # (kind, weight)
    ("Button", 12), ("Text", 14), ("Pane", 8), ("Group", 6), ("ListItem", 12),
    ("TreeItem", 8), ("MenuItem", 6), ("Edit", 5), ("CheckBox", 4), ("Hyperlink", 4),
    ("DataItem", 6), ("Image", 5), ("ScrollBar", 2), ("Custom", 4), ("ComboBox", 2),
    ("TabItem", 2),
]
WORDS = ["Save", "Open", "Recent", "files", "Settings", "Größe", "Données", "設定", "Export",
         "report", "Q3", "2024", "Invoice", "#4711", "Customer", "Müller", "Preview", "Close",
         "Options", "View", "Zoom", "100%", "Search", "results", "for", "\"budget\"", "Home"]


def make_window(rng):
    """Breadth first, level by level, until ELEMENTS elements exist."""
    kinds = [k for k, w in KINDS for _ in range(w)]
    window = Element("Window", "Quarterly report.xlsx - Excel")
    window.kind = "XLMAIN"
    count, level, parents = 0, 0, [window]
    while count < ELEMENTS and level < DEPTH:
        next_parents = []
        for parent in parents:
            for _ in range(rng.choice((2, 3, 4, 5)) if level else 6):
                if count == ELEMENTS:
                    break
                kind = rng.choice(kinds)
                name = " ".join(rng.choices(WORDS, k=rng.choice((0, 1, 2, 3, 6))))
                if kind == "Text" and rng.random() < 0.05:
                    name = name * 20                           # long text, cut at 200
                value = None
                if kind in ("Edit", "ComboBox"):
                    value = rng.choice(["", "42", "C:\\Users\\anna\\Documents\\report.xlsx",
                                        "x" * 150])
                element = Element(kind, name, auto_id=f"ctl{count}" if rng.random() < 0.4 else "",
                                  enabled=rng.random() > 0.1, value=value)
                parent.kids.append(element)
                next_parents.append(element)
                count += 1
        parents, level = next_parents, level + 1
    return window, count


def install(window):
    pywinauto = types.ModuleType("pywinauto")

    class Desktop:
        def __init__(self, backend="win32"):
            pass

        def windows(self, **criteria):
            return [window]

    pywinauto.Desktop = Desktop
    sys.modules["pywinauto"] = pywinauto
    sys.modules["uiautomation"] = None
    sys.modules["pyautogui"] = None
    import ctypes
    ctypes.windll = types.SimpleNamespace(
        user32=types.SimpleNamespace(GetForegroundWindow=lambda: 0x10010))
    vantor.SYSTEM = "Windows"


def replay_calls(window, max_depth=8):
    """The library calls of a walk, and nothing else."""
    window.friendly_class_name(), window.window_text()
    stack = [(window.children(), 0)]
    while stack:
        children, depth = stack.pop()
        for child in children:
            kind = child.friendly_class_name()
            child.window_text()
            info = child.element_info
            info.automation_id, info.enabled
            if kind in ("Edit", "ComboBox", "Document"):
                pattern = child.iface_value
                if pattern:
                    pattern.CurrentValue
            if depth + 1 <= max_depth:
                stack.append((child.children(), depth + 1))


def python_walk(element, lines, depth, max_depth, ref_map, counter,
                interactive=frozenset(), context=frozenset()):
    """The same walk written in Python (lines appended to a list and joined
    once, entries as dicts), for comparison."""
    if depth > max_depth:
        return counter
    try:
        children = element.children()
    except Exception:
        return counter
    indent = "  " * min(depth, 4)
    for child in children:
        try:
            kind = child.friendly_class_name() or ""
            name = child.window_text() or ""
            auto_id, enabled = "", True
            try:
                info = child.element_info
                auto_id = info.automation_id or ""
                enabled = info.enabled
            except Exception:
                pass
            value = ""
            if kind in ("Edit", "ComboBox", "Document"):
                try:
                    pattern = child.iface_value
                    if pattern:
                        value = pattern.CurrentValue or ""
                except Exception:
                    pass
            if kind in interactive and enabled:
                counter += 1
                ref_map[counter] = {"element": child, "control_type": kind, "name": name,
                                    "auto_id": auto_id, "value": value, "backend": "pywinauto"}
                line = f"{indent}[{counter}] {kind.lower()}"
                if name:
                    line += f' "{name}"'
                if value and value != name:
                    line += f' value="{value[:100]}"'
                if auto_id and auto_id != name:
                    line += f" (id: {auto_id})"
                lines.append(line)
            elif kind in context and name and name.strip():
                text = name[:200] + "..." if len(name) > 200 else name
                lines.append(f"{indent}{kind.lower()}: {text}")
            counter = python_walk(child, lines, depth + 1, max_depth, ref_map, counter,
                                  interactive, context)
        except Exception:
            pass
    return counter


def python_snapshot(window):
    lines = [f"Window: {window.window_text()} [{window.friendly_class_name()}]", ""]
    ref_map = {}
    count = python_walk(window, lines, 0, 8, ref_map, 0, vantor.INTERACTIVE_TYPES,
                        vantor.CONTEXT_TYPES)
    return "\n".join(lines), ref_map, count


def best(times):
    return min(times), statistics.median(times)


async def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()

    window, count = make_window(random.Random(7))
    install(window)
    controller = vantor.Vantor()
    first = await controller.snapshot()
    assert first["success"], first
    print(f"window: {count} elements, {first['element_count']} refs, "
          f"{len(first['snapshot']):,} characters of text, "
          f"{first['snapshot'].count(chr(10)) - 1:,} element lines")

    text, _, count_py = python_snapshot(window)
    assert (text, count_py) == (first["snapshot"], first["element_count"])

    laps = timing.Laps()
    for _ in range(args.repeat):
        with laps.take("snapshot"):
            result = await controller.snapshot()
        assert result["element_count"] == first["element_count"]
        with laps.take("calls"):
            replay_calls(window)
        with laps.take("python"):
            python_snapshot(window)

    snap_min, snap_med = best(laps.wall("snapshot"))
    calls_min, calls_med = best(laps.wall("calls"))
    per = 1e9 / count
    print(f"(1) snapshot:          {snap_min * 1e3:7.2f} ms best, {snap_med * 1e3:7.2f} ms median"
          f"  = {snap_min * per:6.0f} ns per element")
    print(f"(2) library calls:     {calls_min * 1e3:7.2f} ms best, {calls_med * 1e3:7.2f} ms median"
          f"  = {calls_min * per:6.0f} ns per element")
    outside = max(snap_min - calls_min, 0.0)
    print(f"(3) outside the calls: {outside * 1e3:7.2f} ms = {outside * per:6.0f} ns per element,"
          f" {outside / snap_min:5.1%} of the snapshot (lower bound)")
    py_min, py_med = best(laps.wall("python"))
    print(f"(4) same walk in Python: {py_min * 1e3:5.2f} ms best, {py_med * 1e3:7.2f} ms median"
          f"  = {py_min * per:6.0f} ns per element, {max(py_min - calls_min, 0.0) * per:4.0f} ns"
          f" outside the calls (on the loop's thread, no executor)")


if __name__ == "__main__":
    asyncio.run(main())
