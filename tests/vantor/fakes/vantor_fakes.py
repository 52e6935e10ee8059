"""Small models of the Windows accessibility libraries the desktop controller
drives: pywinauto (its "uia" backend), uiautomation, PyAutoGUI and
``ctypes.windll.user32``.

A test describes the desktop once, as a tree of :class:`Node` (kind, name,
automation id, enabled state, value, patterns, rectangle, children; focus,
check, selection, expansion and whether it is off the screen), and a
:class:`World` presents the same tree through each library's own objects:
pywinauto element wrappers (``friendly_class_name()``, ``window_text()``,
``element_info``, ``iface_*`` properties that raise when the element lacks
the pattern, ``click_input()``, ``type_keys()``, ...) and uiautomation
controls (``ControlTypeName``, ``Name``, ``Get*Pattern()`` returning None
when unsupported, ``Click()``, ...). Both hand out the element's own UI
Automation element (``element_info.element``, ``Control.Element``), whose
``BuildUpdatedCache(request)`` answers the properties a cache request of the
library's ``IUIAutomation`` asked for (``pywinauto.uia_defines.IUIA().iuia``,
``uiautomation.uiautomation._AutomationClient.instance().IUIAutomation``).
Every call into a library is recorded in ``World.calls`` with its arguments
and the thread it ran on.
"""

from __future__ import annotations

import re
import sys
import threading
import types
from dataclasses import dataclass, field
from typing import Any

PATTERNS = {"invoke", "toggle", "value", "selection", "selection_item", "expand_collapse"}


@dataclass
class Call:
    who: str  # element name, "Desktop", "pyautogui", "uiautomation", "user32"
    method: str
    args: tuple
    kwargs: dict
    thread: int

    def __repr__(self) -> str:
        parts = [repr(a) for a in self.args] + [f"{k}={v!r}" for k, v in self.kwargs.items()]
        return f"{self.who}.{self.method}({', '.join(parts)})"


@dataclass
class Rect:
    left: int
    top: int
    right: int
    bottom: int


class Node:
    """One element of the desktop's accessibility tree."""

    def __init__(self, kind: str, name: str = "", *children: Node, auto_id: str = "",
                 enabled: bool = True, value: str | None = None, patterns=(),
                 rect=(0, 0, 10, 10), class_name: str | None = None, handle: int = 0,
                 visible: bool = True, fail: dict[str, BaseException] | None = None,
                 missing=(), focused: bool = False, checked: bool = False,
                 selected: bool = False, expanded: bool = False, offscreen: bool = False):
        self.kind = kind
        self.name = name
        self.children = list(children)
        self.auto_id = auto_id
        self.enabled = enabled
        self.value = value
        self.patterns = set(patterns) | ({"value"} if value is not None else set())
        assert self.patterns <= PATTERNS, self.patterns
        self.rect = Rect(*rect)
        self.class_name = class_name if class_name is not None else kind
        self.handle = handle
        self.visible = visible
        # attribute or method name -> exception it raises
        self.fail = dict(fail or {})
        # uiautomation: pattern getters that this control's class lacks
        self.missing = set(missing)
        self.selected = selected
        self.toggled = 0
        self.checked = checked
        self.expanded = expanded
        self.focused = focused
        self.offscreen = offscreen

    def __repr__(self) -> str:
        return f"Node({self.kind!r}, {self.name!r})"

    def walk(self):
        yield self
        for child in self.children:
            yield from child.walk()


class World:
    """A desktop: top-level windows, the foreground one, and the call log."""

    def __init__(self, *windows: Node, foreground: int | None = None):
        self.windows = list(windows)
        self.foreground = foreground if foreground is not None else (
            windows[0].handle if windows else 0)
        self.calls: list[Call] = []
        self.pyautogui_fail: dict[str, BaseException] = {}
        self._lock = threading.Lock()
        self._wrappers: dict[int, PywinautoElement] = {}
        self._controls: dict[int, UiaControl] = {}
        self._elements: dict[int, ComElement] = {}
        self.iuia = IUIAutomation(self)
        self.pywinauto = _pywinauto_module(self)
        self.pywinauto_keyboard = _pywinauto_keyboard_module(self)
        self.uiautomation = _uiautomation_module(self)
        self.pyautogui = _pyautogui_module(self)
        self.windll = types.SimpleNamespace(user32=_User32(self))

    # The call log ---------------------------------------------------------

    def record(self, who: str, method: str, *args, **kwargs) -> None:
        with self._lock:
            self.calls.append(Call(who, method, args, kwargs, threading.get_ident()))

    def of(self, who: str | None = None, method: str | None = None) -> list[Call]:
        return [c for c in self.calls
                if (who is None or c.who == who) and (method is None or c.method == method)]

    def actions(self, *skip: str) -> list[str]:
        """repr of every call, leaving out the reads named in ``skip``."""
        return [repr(c) for c in self.calls if c.method not in skip]

    # Views of a node ------------------------------------------------------

    def wrapper(self, node: Node) -> PywinautoElement:
        return self._wrappers.setdefault(id(node), PywinautoElement(self, node))

    def control(self, node: Node) -> UiaControl:
        return self._controls.setdefault(id(node), UiaControl(self, node))

    def com(self, node: Node) -> ComElement:
        return self._elements.setdefault(id(node), ComElement(self, node))

    def find(self, name: str) -> Node:
        for window in self.windows:
            for node in window.walk():
                if node.name == name:
                    return node
        raise LookupError(name)


def _check(world: World, node: Node, what: str) -> None:
    world.record(node.name, what)
    error = node.fail.get(what)
    if error is not None:
        raise error


# UI Automation's own elements and cache requests --------------------------

# Property ids of UIAutomationClient.h.
BOUNDING_RECTANGLE, HAS_KEYBOARD_FOCUS, IS_OFFSCREEN = 30001, 30008, 30022
EXPAND_COLLAPSE_STATE, SELECTION_ITEM_IS_SELECTED, TOGGLE_STATE = 30070, 30079, 30086


class COMError(Exception):
    """comtypes.COMError"""


class CacheRequest:
    """IUIAutomationCacheRequest"""

    def __init__(self, world: World):
        self._world, self.properties = world, []

    def AddProperty(self, property_id):
        self._world.record("CacheRequest", "AddProperty", property_id)
        self.properties.append(property_id)


class IUIAutomation:
    def __init__(self, world: World):
        self._world = world

    def CreateCacheRequest(self):
        self._world.record("IUIAutomation", "CreateCacheRequest")
        return CacheRequest(self._world)


class ComElement:
    """IUIAutomationElement, as comtypes hands it out."""

    def __init__(self, world: World, node: Node):
        self._world, self.node = world, node

    def BuildUpdatedCache(self, request):
        _check(self._world, self.node, "BuildUpdatedCache")
        return _CachedElement(self.node, list(request.properties))


class _CachedElement:
    """An IUIAutomationElement with the properties of one cache request:
    ``Cached*`` properties of its own, and those of its patterns through
    ``GetCachedPropertyValue``."""

    def __init__(self, node: Node, properties: list):
        self._node, self._properties = node, properties

    def _cached(self, property_id):
        if property_id not in self._properties:
            raise COMError("the property was not cached")
        return self.GetCachedPropertyValue(property_id)

    @property
    def CachedBoundingRectangle(self):   # a RECT
        self._cached(BOUNDING_RECTANGLE)
        r = self._node.rect
        return Rect(r.left, r.top, r.right, r.bottom)

    @property
    def CachedHasKeyboardFocus(self):
        return self._cached(HAS_KEYBOARD_FOCUS)

    @property
    def CachedIsOffscreen(self):
        return self._cached(IS_OFFSCREEN)

    def GetCachedPropertyValue(self, property_id):
        if property_id not in self._properties:
            raise COMError("the property was not cached")
        node = self._node
        if property_id == BOUNDING_RECTANGLE:   # left, top, width, height
            r = node.rect
            return (float(r.left), float(r.top), float(r.right - r.left),
                    float(r.bottom - r.top))
        if property_id == HAS_KEYBOARD_FOCUS:
            return node.focused
        if property_id == IS_OFFSCREEN:
            return node.offscreen
        # Pattern properties: the property's default without the pattern.
        if property_id == EXPAND_COLLAPSE_STATE:   # Collapsed 0, Expanded 1, LeafNode 3
            return (1 if node.expanded else 0) if "expand_collapse" in node.patterns else 3
        if property_id == SELECTION_ITEM_IS_SELECTED:
            return node.selected if "selection_item" in node.patterns else False
        if property_id == TOGGLE_STATE:   # Off 0, On 1
            return int(node.checked) if "toggle" in node.patterns else 0
        raise COMError(f"no property {property_id}")


# pywinauto -----------------------------------------------------------------

class NoPatternInterfaceError(Exception):
    """pywinauto.uia_defines.NoPatternInterfaceError"""


class ElementNotFoundError(Exception):
    """pywinauto.findwindows.ElementNotFoundError"""


class _PywinautoPattern:
    """A UIA pattern interface as pywinauto hands it out (iface_*)."""

    def __init__(self, world: World, node: Node):
        self._world, self._node = world, node

    def Invoke(self):
        _check(self._world, self._node, "Invoke")

    def Toggle(self):
        _check(self._world, self._node, "Toggle")
        self._node.toggled += 1
        self._node.checked = not self._node.checked

    def SetValue(self, value):
        self._world.record(self._node.name, "SetValue", value)
        error = self._node.fail.get("SetValue")
        if error is not None:
            raise error
        self._node.value = value

    @property
    def CurrentValue(self):
        _check(self._world, self._node, "CurrentValue")
        return self._node.value


class _ElementInfo:
    def __init__(self, world: World, node: Node):
        self._world, self._node = world, node

    @property
    def automation_id(self):
        _check(self._world, self._node, "automation_id")
        return self._node.auto_id

    @property
    def enabled(self):
        _check(self._world, self._node, "enabled")
        return self._node.enabled

    @property
    def element(self):
        _check(self._world, self._node, "element")
        return self._world.com(self._node)


class PywinautoElement:
    """pywinauto.controls.uiawrapper.UIAWrapper"""

    def __init__(self, world: World, node: Node):
        self._world, self.node = world, node

    def __repr__(self):
        return f"<uia {self.node.kind} {self.node.name!r}>"

    def _call(self, method, *args, **kwargs):
        self._world.record(self.node.name, method, *args, **kwargs)
        error = self.node.fail.get(method)
        if error is not None:
            raise error

    def friendly_class_name(self):
        self._call("friendly_class_name")
        return self.node.class_name

    def window_text(self):
        self._call("window_text")
        return self.node.name

    @property
    def element_info(self):
        self._call("element_info")
        return _ElementInfo(self._world, self.node)

    def children(self):
        self._call("children")
        return [self._world.wrapper(c) for c in self.node.children]

    def _iface(self, pattern, attribute):
        self._call(attribute)
        if pattern not in self.node.patterns:
            raise NoPatternInterfaceError()
        return _PywinautoPattern(self._world, self.node)

    iface_value = property(lambda self: self._iface("value", "iface_value"))
    iface_invoke = property(lambda self: self._iface("invoke", "iface_invoke"))
    iface_toggle = property(lambda self: self._iface("toggle", "iface_toggle"))

    def click_input(self, button="left", double=False, **kwargs):
        self._call("click_input", **kwargs)

    def double_click_input(self, button="left", **kwargs):
        self._call("double_click_input", **kwargs)

    def type_keys(self, keys, pause=None, with_spaces=False, with_tabs=False,
                  with_newlines=False, turn_off_numlock=True, set_foreground=True,
                  vk_packet=True):
        kwargs = {}
        if with_spaces:
            kwargs["with_spaces"] = with_spaces
        if not set_foreground:
            kwargs["set_foreground"] = set_foreground
        self._call("type_keys", keys, **kwargs)

    def select(self, item):
        self._call("select", item)
        for child in self.node.children:
            if child.name == item:
                child.selected = True
                return self
        raise ValueError(f"No such item: {item!r}")

    def expand(self):
        self._call("expand")
        self.node.expanded = True
        return self

    def child_window(self, **criteria):
        self._call("child_window", **criteria)
        return _WindowSpecification(self._world, self.node, criteria)

    def rectangle(self):
        self._call("rectangle")
        r = self.node.rect
        return Rect(r.left, r.top, r.right, r.bottom)

    def set_focus(self):
        self._call("set_focus")
        self._world.foreground = self.node.handle
        return self

    def wrapper_object(self):
        self._call("wrapper_object")
        return self


class _WindowSpecification:
    """What child_window() returns: resolved when it is used."""

    def __init__(self, world, parent, criteria):
        self._world, self._parent, self._criteria = world, parent, criteria

    def click_input(self):
        pattern = re.compile(self._criteria["title_re"])
        for node in list(self._parent.walk())[1:]:
            if pattern.match(node.name):
                self._world.wrapper(node).click_input()
                node.selected = True
                return
        self._world.record(self._parent.name, "child_window.click_input")
        raise ElementNotFoundError(self._criteria)


class _Desktop:
    """pywinauto.Desktop"""

    def __init__(self, world: World, backend: str = "win32", allow_magic_lookup=True):
        self._world = world
        world.record("Desktop", "__init__", backend=backend)

    def windows(self, **kwargs):
        self._world.record("Desktop", "windows", **kwargs)
        found = []
        for node in self._world.windows:
            if kwargs.get("visible_only", True) and not node.visible:
                continue
            if "handle" in kwargs and node.handle != kwargs["handle"]:
                continue
            if "title_re" in kwargs and not re.match(kwargs["title_re"], node.name):
                continue
            found.append(self._world.wrapper(node))
        return found


def _pywinauto_module(world: World) -> types.ModuleType:
    module = types.ModuleType("pywinauto")
    module.Desktop = lambda *args, **kwargs: _Desktop(world, *args, **kwargs)
    uia_defines = types.ModuleType("pywinauto.uia_defines")
    uia_defines.NoPatternInterfaceError = NoPatternInterfaceError

    class IUIA:
        """The singleton of the UI Automation client, with the constants of
        UIAutomationClient (comtypes' module of it)."""

        UIA_dll = types.SimpleNamespace(**{
            f"UIA_{name}PropertyId": number for name, number in (
                ("BoundingRectangle", BOUNDING_RECTANGLE), ("HasKeyboardFocus", HAS_KEYBOARD_FOCUS),
                ("IsOffscreen", IS_OFFSCREEN),
                ("ExpandCollapseExpandCollapseState", EXPAND_COLLAPSE_STATE),
                ("SelectionItemIsSelected", SELECTION_ITEM_IS_SELECTED),
                ("ToggleToggleState", TOGGLE_STATE))})

        def __init__(self):
            self.iuia = world.iuia

    uia_defines.IUIA = IUIA
    findwindows = types.ModuleType("pywinauto.findwindows")
    findwindows.ElementNotFoundError = ElementNotFoundError
    module.uia_defines, module.findwindows = uia_defines, findwindows
    return module


def _pywinauto_keyboard_module(world: World) -> types.ModuleType:
    module = types.ModuleType("pywinauto.keyboard")

    def send_keys(keys, pause=0.05, with_spaces=False, **kwargs):
        world.record("keyboard", "send_keys", keys)

    module.send_keys = send_keys
    return module


# uiautomation --------------------------------------------------------------

class _UiaPattern:
    def __init__(self, world: World, node: Node):
        self._world, self._node = world, node

    @property
    def Value(self):
        _check(self._world, self._node, "Value")
        return self._node.value

    def SetValue(self, value, waitTime=0.5):
        self._world.record(self._node.name, "SetValue", value)
        error = self._node.fail.get("SetValue")
        if error is not None:
            raise error
        self._node.value = value
        return True

    def Invoke(self, waitTime=0.5):
        _check(self._world, self._node, "Invoke")
        return True

    def Toggle(self, waitTime=0.5):
        _check(self._world, self._node, "Toggle")
        self._node.toggled += 1
        self._node.checked = not self._node.checked
        return True

    def Select(self, waitTime=0.5):
        _check(self._world, self._node, "Select")
        self._node.selected = True
        return True

    def Expand(self, waitTime=0.5):
        _check(self._world, self._node, "Expand")
        self._node.expanded = True
        return True


class UiaControl:
    """uiautomation.Control"""

    def __init__(self, world: World, node: Node | None):
        self._world, self.node = world, node

    def __repr__(self):
        return f"<{self.node.kind}Control {self.node.name!r}>"

    def _read(self, what):
        _check(self._world, self.node, what)

    @property
    def ControlTypeName(self):
        self._read("ControlTypeName")
        return self.node.kind + "Control"

    @property
    def Name(self):
        self._read("Name")
        return self.node.name

    @property
    def AutomationId(self):
        self._read("AutomationId")
        return self.node.auto_id

    @property
    def IsEnabled(self):
        self._read("IsEnabled")
        return self.node.enabled

    @property
    def Element(self):
        self._read("Element")
        return self._world.com(self.node)

    @property
    def BoundingRectangle(self):
        self._read("BoundingRectangle")
        r = self.node.rect
        return Rect(r.left, r.top, r.right, r.bottom)

    def GetChildren(self):
        self._read("GetChildren")
        return [self._world.control(c) for c in self.node.children]

    def _pattern(self, pattern, getter):
        if getter in self.node.missing:
            raise AttributeError(
                f"'{self.node.kind}Control' object has no attribute '{getter}'")
        self._read(getter)
        return _UiaPattern(self._world, self.node) if pattern in self.node.patterns else None

    def GetValuePattern(self):
        return self._pattern("value", "GetValuePattern")

    def GetInvokePattern(self):
        return self._pattern("invoke", "GetInvokePattern")

    def GetTogglePattern(self):
        return self._pattern("toggle", "GetTogglePattern")

    def GetSelectionPattern(self):
        return self._pattern("selection", "GetSelectionPattern")

    def GetSelectionItemPattern(self):
        return self._pattern("selection_item", "GetSelectionItemPattern")

    def GetExpandCollapsePattern(self):
        return self._pattern("expand_collapse", "GetExpandCollapsePattern")

    def Click(self, x=None, y=None, ratioX=0.5, ratioY=0.5, simulateMove=True, waitTime=0.5):
        self._read("Click")
        self.node.selected = True

    def DoubleClick(self, x=None, y=None, ratioX=0.5, ratioY=0.5, simulateMove=True,
                    waitTime=0.5):
        self._read("DoubleClick")

    def Exists(self, maxSearchSeconds=5, searchIntervalSeconds=0.5, printIfNotExist=False):
        self._world.record(self.node.name, "Exists", maxSearchSeconds)
        return True


class _MissingWindow:
    """A WindowControl whose search found nothing."""

    def __init__(self, world, name):
        self._world, self._name = world, name

    def Exists(self, maxSearchSeconds=5, searchIntervalSeconds=0.5, printIfNotExist=False):
        self._world.record(self._name, "Exists", maxSearchSeconds)
        return False

    def __getattr__(self, name):
        raise LookupError(f"Find Control Timeout: {{Name: {self._name!r}}}")


def _uiautomation_module(world: World) -> types.ModuleType:
    module = types.ModuleType("uiautomation")

    def WindowControl(searchFromControl=None, searchDepth=0xFFFFFFFF, **search):
        world.record("uiautomation", "WindowControl", searchDepth=searchDepth, **search)
        for node in world.windows:
            if node.kind == "Window" and node.name == search.get("Name"):
                return world.control(node)
        return _MissingWindow(world, search.get("Name"))

    def GetForegroundControl():
        world.record("uiautomation", "GetForegroundControl")
        for node in world.windows:
            if node.handle == world.foreground:
                return world.control(node)
        return None

    def SendKeys(text, interval=0.01, waitTime=0.5, charMode=True, debug=False):
        kwargs = {"interval": interval} if interval != 0.01 else {}
        world.record("uiautomation", "SendKeys", text, **kwargs)

    module.WindowControl = WindowControl
    module.GetForegroundControl = GetForegroundControl
    module.SendKeys = SendKeys
    module.Control = UiaControl
    inner = types.ModuleType("uiautomation.uiautomation")

    class _AutomationClient:
        _instance = None

        @classmethod
        def instance(cls):
            if cls._instance is None:
                cls._instance = cls()
                cls._instance.IUIAutomation = world.iuia
            return cls._instance

    inner._AutomationClient = _AutomationClient
    module.uiautomation = inner
    return module


# PyAutoGUI -----------------------------------------------------------------

def _pyautogui_module(world: World) -> types.ModuleType:
    module = types.ModuleType("pyautogui")

    def recorder(name):
        def call(*args, **kwargs):
            world.record("pyautogui", name, *args, **kwargs)
            error = world.pyautogui_fail.get(name)
            if error is not None:
                raise error
        call.__name__ = name
        return call

    for name in ("click", "doubleClick", "hotkey", "typewrite", "write", "press", "scroll"):
        setattr(module, name, recorder(name))
    return module


# ctypes.windll.user32 ------------------------------------------------------

class _User32:
    def __init__(self, world: World):
        self._world = world

    def GetForegroundWindow(self):
        self._world.record("user32", "GetForegroundWindow")
        return self._world.foreground


def install(world: World, monkeypatch, *, pywinauto=True, uiautomation=True, pyautogui=True,
            windll=True) -> None:
    """Puts the world's libraries into ``sys.modules`` (None for a library that
    is left out, so that importing it fails) and ``ctypes.windll``."""
    import ctypes

    present = {
        "pywinauto": world.pywinauto if pywinauto else None,
        "pywinauto.keyboard": world.pywinauto_keyboard if pywinauto else None,
        "pywinauto.uia_defines": world.pywinauto.uia_defines if pywinauto else None,
        "uiautomation": world.uiautomation if uiautomation else None,
        "uiautomation.uiautomation": world.uiautomation.uiautomation if uiautomation else None,
        "pyautogui": world.pyautogui if pyautogui else None,
    }
    for name, module in present.items():
        monkeypatch.setitem(sys.modules, name, module)
    if windll:
        monkeypatch.setattr(ctypes, "windll", world.windll, raising=False)
    else:
        monkeypatch.delattr(ctypes, "windll", raising=False)


def notepad(**window: Any) -> Node:
    """The window of the classic example: a menu bar, a document, a status bar."""
    return Node(
        "Window", "Untitled - Notepad",
        Node("MenuBar", "Application",
             Node("MenuItem", "File"), Node("MenuItem", "Edit")),
        Node("Document", "", value="hello", auto_id="15"),
        Node("StatusBar", "Ln 1, Col 1"),
        class_name="Notepad", handle=0x1001, **window)
