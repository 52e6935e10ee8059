# Prints the accessibility tree of one window as a JSON document, read from
# the AT-SPI bus. Run as `python3 -c <this text>` by the desktop controller,
# which puts the two settings (max_depth and target_title) on the line
# after the marker below.
import json
import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi

# settings

INTERACTIVE = {
    "push button", "check box", "combo box", "text", "link", "menu item", "menu bar",
    "radio button", "slider", "page tab", "tree item", "list item", "toggle button",
    "spin button", "entry", "password text",
}
CONTEXT = {"label", "status bar", "panel", "frame", "filler", "heading", "section", "paragraph"}


def children(node):
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is not None:
            yield child


def is_active(window):
    try:
        return window.get_state_set().contains(Atspi.StateType.ACTIVE)
    except Exception:
        return False


def choose_window(desktop):
    title = target_title.lower()
    for app in children(desktop):
        for window in children(app):
            name = window.get_name() or ""
            role = window.get_role_name() or ""
            if role not in ("frame", "window", "dialog"):
                continue
            if title and title in name.lower():
                return app, window
            if not title and is_active(window):
                return app, window
    for app in children(desktop):
        for window in children(app):
            name = window.get_name() or ""
            role = window.get_role_name() or ""
            if role in ("frame", "window") and name:
                return app, window
    return None, None


def value_text(node):
    # The Value interface: get_value_iface() in current bindings, get_value()
    # in older ones.
    try:
        getter = getattr(node, "get_value_iface", None) or getattr(node, "get_value", None)
        value = getter() if getter is not None else None
        return str(value.get_current_value()) if value is not None else ""
    except Exception:
        return ""


def is_enabled(node):
    try:
        states = node.get_state_set()
        return states.contains(Atspi.StateType.SENSITIVE) or states.contains(
            Atspi.StateType.ENABLED)
    except Exception:
        return True


def walk(root):
    """Depth first, an element before its children. An error at an element
    ends it and the rest of its children; the walk goes on with its
    siblings."""
    elements = []
    ref = 0
    path = []  # [element, depth, next child index, child count] for each open element
    node, depth = root, 0
    while True:
        if node is not None and depth <= max_depth:
            try:
                role = node.get_role_name() or ""
                name = node.get_name() or ""
                description = node.get_description() or ""
                shown = name or description
                if role in INTERACTIVE and is_enabled(node):
                    ref += 1
                    elements.append({"ref": ref, "role": role, "name": shown,
                                     "value": value_text(node), "depth": depth})
                elif role in CONTEXT and shown:
                    elements.append({"ref": 0, "role": role, "name": shown, "value": "",
                                     "depth": depth})
                if depth < max_depth:
                    path.append([node, depth, 0, node.get_child_count()])
            except Exception:
                pass
        node = None
        while node is None and path:
            top = path[-1]
            if top[2] >= top[3]:
                path.pop()
                continue
            index = top[2]
            top[2] += 1
            try:
                node, depth = top[0].get_child_at_index(index), top[1] + 1
            except Exception:
                path.pop()
        if node is None:
            return elements, ref


def main():
    desktop = Atspi.get_desktop(0)
    app, window = choose_window(desktop)
    if window is None:
        print(json.dumps({"success": False, "error": "No window found"}))
        return
    elements, count = walk(window)
    print(json.dumps({
        "success": True,
        "window": window.get_name() or "Unknown",
        "app": (app.get_name() or "") if app is not None else "",
        "elements": elements,
        "element_count": count,
    }, ensure_ascii=False))


main()
sys.stdout.flush()
