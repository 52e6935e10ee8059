"""Cost of budgeted and detailed Windows snapshots.

    PYTHONPATH=build/rel-vt/package python bench/bench_vantor_budgets.py [--rounds 7]

A fake pywinauto (its "uia" backend, as in bench_vantor.py: wrappers with
`friendly_class_name()`, `window_text()`, `element_info`, `iface_value`,
`children()`, and each element's own UI Automation element, whose
`BuildUpdatedCache(request)` answers a cached element with its cached
properties and `GetCachedPropertyValue`) presents windows of
realistic kinds, names, automation ids and values, eight levels deep. Its
methods only return what they hold: the figures are our own cost.

Figures, each taken in turns with its plain-Python rendering (the same walk
written in Python: lines appended to a list and joined once, entries as
dicts, on the calling thread):
(1) budget: `snapshot(max_elements=500)` of a 100,000-element window
    against a plain snapshot of a 500-element window; the walk stops at the
    budget, so the two should cost about the same (at most 2x).
(2) details: `snapshot(details=True)` of a 20,000-element window against a
    plain snapshot of the same window (at most 1.3x): states and bounds come
    from one cache request per listed element.

Without PYTHONPATH the Release build in build/rel-vt is used. Build it with
    cmake -S . -B build/rel-vt -G Ninja -DCMAKE_BUILD_TYPE=Release
    ninja -C build/rel-vt vantor
"""
import argparse
import asyncio
import ctypes
import random
import sys
import types
from pathlib import Path

import timing

ROOT = Path(__file__).resolve().parents[1]
DEPTH = 8
BUDGET = 500

try:
    from ombrel.pc import vantor
except ImportError:
    sys.path.insert(0, str(ROOT / "build" / "rel-vt" / "package"))
    from ombrel.pc import vantor


# --------------------------------------------------------------------------
# The fake library, as cheap as it can be

# Property ids of UIAutomationClient.h.
RECTANGLE, FOCUS, OFFSCREEN, EXPAND, SELECTED, TOGGLE = 30001, 30008, 30022, 30070, 30079, 30086


class Rect:
    __slots__ = ("left", "top", "right", "bottom")

    def __init__(self, left, top, width, height):
        self.left, self.top, self.right, self.bottom = left, top, left + width, top + height


class Cached:
    """An element after BuildUpdatedCache: its cached properties, and the
    cached values of its patterns' properties."""
    __slots__ = ("CachedBoundingRectangle", "CachedHasKeyboardFocus", "CachedIsOffscreen",
                 "GetCachedPropertyValue")

    def __init__(self, values):
        self.CachedBoundingRectangle = Rect(*values[RECTANGLE])
        self.CachedHasKeyboardFocus = values[FOCUS]
        self.CachedIsOffscreen = values[OFFSCREEN]
        self.GetCachedPropertyValue = values.__getitem__


class ComElement:
    __slots__ = ("cached",)

    def __init__(self, values):
        self.cached = Cached(values)

    def BuildUpdatedCache(self, request):
        return self.cached


class Info:
    __slots__ = ("automation_id", "enabled", "element")

    def __init__(self, automation_id, enabled, element):
        self.automation_id = automation_id
        self.enabled = enabled
        self.element = element


class Pattern:
    __slots__ = ("CurrentValue",)

    def __init__(self, value):
        self.CurrentValue = value


class Element:
    __slots__ = ("kind", "name", "element_info", "iface_value", "kids")

    def __init__(self, kind, name, auto_id="", enabled=True, value=None, values=None):
        self.kind, self.name = kind, name
        self.element_info = Info(auto_id, enabled, ComElement(values or BLANK))
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


BLANK = {RECTANGLE: (0, 0, 0, 0), FOCUS: False, OFFSCREEN: False, EXPAND: 3, SELECTED: False,
         TOGGLE: 0}


class CacheRequest:
    def AddProperty(self, property_id):
        pass


KINDS = [  # (kind, weight)
    ("Button", 12), ("Text", 14), ("Pane", 8), ("Group", 6), ("ListItem", 12),
    ("TreeItem", 8), ("MenuItem", 6), ("Edit", 5), ("CheckBox", 4), ("Hyperlink", 4),
    ("DataItem", 6), ("Image", 5), ("ScrollBar", 2), ("Custom", 4), ("ComboBox", 2),
    ("TabItem", 2),
]
WORDS = ["Save", "Open", "Recent", "files", "Settings", "Größe", "Données", "設定", "Export",
         "report", "Q3", "2024", "Invoice", "#4711", "Customer", "Müller", "Preview", "Close",
         "Options", "View", "Zoom", "100%", "Search", "results", "for", "\"budget\"", "Home"]


def make_window(rng, elements):
    """Breadth first, level by level, until `elements` elements exist."""
    kinds = [k for k, w in KINDS for _ in range(w)]
    window = Element("XLMAIN", "Quarterly report.xlsx - Excel")
    count, level, parents = 0, 0, [window]
    while count < elements and level < DEPTH:
        next_parents = []
        for parent in parents:
            for _ in range(rng.choice((3, 4, 5, 6)) if level else 8):
                if count == elements:
                    break
                kind = rng.choice(kinds)
                name = " ".join(rng.choices(WORDS, k=rng.choice((0, 1, 2, 3, 6))))
                value = None
                if kind in ("Edit", "ComboBox"):
                    value = rng.choice(["", "42", "C:\\Users\\anna\\Documents\\report.xlsx",
                                        "x" * 150])
                values = {RECTANGLE: (float(rng.randrange(1920)), float(rng.randrange(1080)),
                                      float(rng.randrange(1, 400)), float(rng.randrange(1, 40))),
                          FOCUS: rng.random() < 0.001, OFFSCREEN: rng.random() < 0.3,
                          EXPAND: rng.choice((0, 1, 3)) if kind == "TreeItem" else 3,
                          SELECTED: kind in ("ListItem", "TabItem") and rng.random() < 0.1,
                          TOGGLE: int(kind == "CheckBox" and rng.random() < 0.5)}
                element = Element(kind, name, auto_id=f"ctl{count}" if rng.random() < 0.4 else "",
                                  enabled=rng.random() > 0.1, value=value, values=values)
                parent.kids.append(element)
                next_parents.append(element)
                count += 1
        parents, level = next_parents, level + 1
    return window, count


class Screen:
    """The pywinauto fake, its foreground window the one `show` names."""

    def __init__(self):
        self.window = None
        pywinauto = types.ModuleType("pywinauto")
        screen = self

        class Desktop:
            def __init__(self, backend="win32"):
                pass

            def windows(self, **criteria):
                return [screen.window]

        pywinauto.Desktop = Desktop
        uia_defines = types.ModuleType("pywinauto.uia_defines")

        class IUIA:
            iuia = types.SimpleNamespace(CreateCacheRequest=CacheRequest)
            UIA_dll = types.SimpleNamespace(
                UIA_BoundingRectanglePropertyId=RECTANGLE, UIA_HasKeyboardFocusPropertyId=FOCUS,
                UIA_IsOffscreenPropertyId=OFFSCREEN,
                UIA_ExpandCollapseExpandCollapseStatePropertyId=EXPAND,
                UIA_SelectionItemIsSelectedPropertyId=SELECTED,
                UIA_ToggleToggleStatePropertyId=TOGGLE)

        uia_defines.IUIA = IUIA
        pywinauto.uia_defines = uia_defines
        sys.modules.update({"pywinauto": pywinauto, "pywinauto.uia_defines": uia_defines,
                            "uiautomation": None, "pyautogui": None})
        ctypes.windll = types.SimpleNamespace(
            user32=types.SimpleNamespace(GetForegroundWindow=lambda: 0x10010))
        vantor.SYSTEM = "Windows"

    def show(self, window):
        self.window = window


# --------------------------------------------------------------------------
# The same walks in plain Python

STATES = ("focused", "checked", "selected", "expanded", "disabled", "offscreen")
# The patterns' states each control type may have.
PATTERNS = {"Button": "ce", "CheckBox": "c", "ComboBox": "e", "Custom": "cse",
            "DataItem": "cse", "Group": "e", "ListItem": "cse", "Menu": "e", "MenuItem": "cse",
            "RadioButton": "s", "SplitButton": "ce", "TabItem": "s", "ToolBar": "e",
            "TreeItem": "cse"}


def details_of(child, kind, enabled):
    """' [state]...' and ' @x,y,w,h' from one cache request."""
    cached = child.element_info.element.BuildUpdatedCache(REQUEST)
    rect = cached.CachedBoundingRectangle
    states = {"focused": cached.CachedHasKeyboardFocus is True,
              "offscreen": cached.CachedIsOffscreen is True, "disabled": not enabled}
    patterns = PATTERNS.get(kind, "")
    if patterns:
        value = cached.GetCachedPropertyValue
        states["checked"] = "c" in patterns and value(TOGGLE) == 1
        states["selected"] = "s" in patterns and value(SELECTED) is True
        states["expanded"] = "e" in patterns and value(EXPAND) in (1, 2)
    text = "".join(f" [{name}]" for name in STATES if states.get(name))
    x, y = round(rect.left), round(rect.top)
    w, h = round(rect.right) - x, round(rect.bottom) - y
    if w or h:
        text += f" @{x},{y},{w},{h}"
    return text


REQUEST = CacheRequest()


class Walk:
    """The walk of `snapshot`, in Python: `max_elements` read at most,
    details when asked."""

    def __init__(self, max_elements=None, details=False):
        self.max_elements, self.details = max_elements, details
        self.read, self.cut, self.counter = 0, None, 0
        self.lines, self.ref_map = [], {}
        self.interactive, self.context = vantor.INTERACTIVE_TYPES, vantor.CONTEXT_TYPES

    def walk(self, element, depth, max_depth):
        if depth > max_depth:
            return True
        children = element.children()
        indent = "  " * min(depth, 4)
        for index, child in enumerate(children):
            if self.max_elements is not None and self.read >= self.max_elements:
                self.cut = len(children) - index
                return False
            self.read += 1
            kind = child.friendly_class_name() or ""
            name = child.window_text() or ""
            info = child.element_info
            auto_id, enabled = info.automation_id or "", info.enabled
            value = ""
            if kind in ("Edit", "ComboBox", "Document"):
                pattern = child.iface_value
                if pattern:
                    value = pattern.CurrentValue or ""
            line = None
            if kind in self.interactive and enabled:
                self.counter += 1
                self.ref_map[self.counter] = {
                    "element": child, "control_type": kind, "name": name,
                    "auto_id": auto_id, "value": value, "backend": "pywinauto"}
                line = f"{indent}[{self.counter}] {kind.lower()}"
                if name:
                    line += f' "{name}"'
                if value and value != name:
                    line += f' value="{value[:100]}"'
                if auto_id and auto_id != name:
                    line += f" (id: {auto_id})"
            elif kind in self.context and name and name.strip():
                text = name[:200] + "..." if len(name) > 200 else name
                line = f"{indent}{kind.lower()}: {text}"
            if line is not None:
                if self.details:
                    line += details_of(child, kind, enabled)
                self.lines.append(line)
            if not self.walk(child, depth + 1, max_depth):
                self.cut += len(children) - index - 1
                return False
        return True

    def snapshot(self, window):
        self.lines = [f"Window: {window.window_text()} [{window.friendly_class_name()}]", ""]
        if not self.walk(window, 0, DEPTH) and self.cut is not None:
            self.lines.append(f"[Cut at max_elements={self.max_elements}: at least {self.cut} "
                              "more elements left out. Narrow the snapshot: root=REF for one "
                              "element's subtree, window_title for one window, or a smaller "
                              "max_depth.]")
        return "\n".join(self.lines)


# --------------------------------------------------------------------------

async def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    timing.header(vantor)

    screen = Screen()
    huge, huge_count = make_window(random.Random(7), 100_000)
    small, small_count = make_window(random.Random(7), BUDGET)
    medium, medium_count = make_window(random.Random(11), 20_000)
    # A controller per kind of snapshot: each replaces a ref table of its own
    # kind, whose release is part of its cost.
    controllers = {}

    async def native(window, **options):
        screen.show(window)
        controller = controllers.setdefault((id(window), tuple(options)), vantor.Vantor())
        with timing.Stopwatch() as took:
            result = await controller.snapshot(**options)
        assert result["success"], result
        return took.wall

    def plain(window, **options):
        with timing.Stopwatch() as took:
            Walk(**options).snapshot(window)
        return took.wall

    # The Python renderings write the same text as the native walks.
    controller = vantor.Vantor()
    screen.show(huge)
    cut = await controller.snapshot(max_elements=BUDGET)
    assert cut["snapshot"] == Walk(max_elements=BUDGET).snapshot(huge), "budget text differs"
    screen.show(medium)
    detailed = await controller.snapshot(details=True)
    assert detailed["snapshot"] == Walk(details=True).snapshot(medium), "details text differs"
    print(f"windows: {huge_count:,}, {small_count:,} and {medium_count:,} elements; "
          f"the budgeted snapshot leaves out at least {cut['left_out']:,}")

    laps = {name: [] for name in ("cut", "small", "cut.py", "small.py", "detailed", "plain",
                                  "detailed.py", "plain.py")}
    for _ in range(args.rounds):
        laps["cut"].append(await native(huge, max_elements=BUDGET))
        laps["small"].append(await native(small))
        laps["cut.py"].append(plain(huge, max_elements=BUDGET))
        laps["small.py"].append(plain(small))
        laps["detailed"].append(await native(medium, details=True))
        laps["plain"].append(await native(medium))
        laps["detailed.py"].append(plain(medium, details=True))
        laps["plain.py"].append(plain(medium))

    def ratio(slow, fast):
        """The best against the best, and the median of the rounds' own
        ratios (the two kinds ran one after the other in each round)."""
        rounds = sorted(a / b for a, b in zip(laps[slow], laps[fast]))
        return min(laps[slow]) / min(laps[fast]), rounds[len(rounds) // 2]

    budget, budget_rounds = ratio("cut", "small")
    details, details_rounds = ratio("detailed", "plain")
    print(f"(1) budget: max_elements={BUDGET} of {huge_count:,} elements against a whole window "
          f"of {small_count}: ratio {budget:.2f}x, rounds' median {budget_rounds:.2f}x "
          "(at most 2x)")
    print("    budgeted snapshot: " + timing.Comparison(
        laps["cut"], laps["cut.py"], higher_is_better=False).line("ms", ",.2f", 1e3))
    print("    whole small window: " + timing.Comparison(
        laps["small"], laps["small.py"], higher_is_better=False).line("ms", ",.2f", 1e3))
    print(f"(2) details: details=True against a plain snapshot of {medium_count:,} elements: "
          f"ratio {details:.2f}x, rounds' median {details_rounds:.2f}x (at most 1.3x)")
    print("    detailed snapshot: " + timing.Comparison(
        laps["detailed"], laps["detailed.py"], higher_is_better=False).line("ms", ",.2f", 1e3))
    print("    plain snapshot: " + timing.Comparison(
        laps["plain"], laps["plain.py"], higher_is_better=False).line("ms", ",.2f", 1e3))


if __name__ == "__main__":
    asyncio.run(main())
