# Prints the accessibility tree of one window as a JSON document, read from
# the AT-SPI bus. Run as `python3 -c <this text>` by the desktop controller,
# which puts its settings on the lines after the marker below: max_depth and
# target_title, then
#   max_elements, max_chars  None, or the budget that stops the walk once spent
#   details                  adds each listed element's states and bounds
#   target                   None, or the element of a ref, found again by its
#                            path from its window: {"window": {"app", "window",
#                            "app_index", "window_index"}, "path": [child
#                            indices], "role", "name", "mode"}; "mode" is
#                            "root" (walk its subtree) or "check" (say whether
#                            it is still there and still the same)
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
# The states a detailed record names, and the AT-SPI state of each.
STATES = (("focused", "FOCUSED"), ("checked", "CHECKED"), ("selected", "SELECTED"),
          ("expanded", "EXPANDED"))


def indexed_children(node):
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is not None:
            yield i, child


def children(node):
    for _, child in indexed_children(node):
        yield child


def is_active(window):
    try:
        return window.get_state_set().contains(Atspi.StateType.ACTIVE)
    except Exception:
        return False


def choose_window(desktop):
    """(app, window, app index, window index); Nones when there is none."""
    title = target_title.lower()
    for a, app in indexed_children(desktop):
        for w, window in indexed_children(app):
            name = window.get_name() or ""
            role = window.get_role_name() or ""
            if role not in ("frame", "window", "dialog"):
                continue
            if title and title in name.lower():
                return app, window, a, w
            if not title and is_active(window):
                return app, window, a, w
    for a, app in indexed_children(desktop):
        for w, window in indexed_children(app):
            name = window.get_name() or ""
            role = window.get_role_name() or ""
            if role in ("frame", "window") and name:
                return app, window, a, w
    return None, None, None, None


def value_text(node):
    # The Value interface: get_value_iface() in current bindings, get_value()
    # in older ones.
    try:
        getter = getattr(node, "get_value_iface", None) or getattr(node, "get_value", None)
        value = getter() if getter is not None else None
        return str(value.get_current_value()) if value is not None else ""
    except Exception:
        return ""


def enabled_in(states):
    return states.contains(Atspi.StateType.SENSITIVE) or states.contains(
        Atspi.StateType.ENABLED)


def is_enabled(node):
    try:
        return enabled_in(node.get_state_set())
    except Exception:
        return True


def add_details(node, record, states):
    """The record's "states" (from the state set the walk read, None when it
    could not) and "bounds" (its extents on the screen)."""
    names = []
    if states is not None:
        names = [name for name, state in STATES
                 if states.contains(getattr(Atspi.StateType, state))]
        if not enabled_in(states):
            names.append("disabled")
        if not states.contains(Atspi.StateType.SHOWING):
            names.append("offscreen")
    record["states"] = names
    try:
        extents = node.get_extents(Atspi.CoordType.SCREEN)
        record["bounds"] = [extents.x, extents.y, extents.width, extents.height]
    except Exception:
        pass


def least_chars(record):
    """At most the characters the record's line takes in the text (the
    controller writes it): a line feed, the indent, the role and the name."""
    name = record["name"]
    if not record["ref"] and not record.get("control"):
        name = name[:200]
    return 1 + 2 * min(record["depth"], 4) + len(record["role"]) + len(name)


def walk(root, base, chars):
    """Depth first, an element before its children. An error at an element
    ends it and the rest of its children; the walk goes on with its
    siblings. A budget, once spent, ends the walk: (elements, refs, the
    budget that cut it or None, how many elements it left out at least).
    `base` is the path of the root from its window, `chars` the length of
    the text's header."""
    elements = []
    ref = 0
    visited = 0
    # [element, depth, next child index, child count, its path] for each open element
    path = []
    node, depth, where = root, 0, base

    def unvisited():
        return sum(top[3] - top[2] for top in path)

    while True:
        if node is not None and depth <= max_depth:
            if max_elements is not None and visited >= max_elements:
                return elements, ref, "max_elements", 1 + unvisited()
            visited += 1
            try:
                role = node.get_role_name() or ""
                name = node.get_name() or ""
                description = node.get_description() or ""
                shown = name or description
                states = None
                if details:
                    try:
                        states = node.get_state_set()
                        enabled = enabled_in(states)
                    except Exception:
                        enabled = True
                else:
                    enabled = role in INTERACTIVE and is_enabled(node)
                record = None
                if role in INTERACTIVE and enabled:
                    ref += 1
                    record = {"ref": ref, "role": role, "name": shown,
                              "value": value_text(node), "depth": depth, "path": where}
                elif role in CONTEXT and shown:
                    record = {"ref": 0, "role": role, "name": shown, "value": "",
                              "depth": depth}
                if record is not None:
                    if details:
                        add_details(node, record, states)
                    elements.append(record)
                    if max_chars is not None:
                        chars += least_chars(record)
                        if chars > max_chars:
                            return elements, ref, "max_chars", unvisited()
                if depth < max_depth:
                    path.append([node, depth, 0, node.get_child_count(), where])
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
                node, depth, where = top[0].get_child_at_index(index), top[1] + 1, top[4] + [index]
            except Exception:
                path.pop()
        if node is None:
            return elements, ref, None, 0


def find_window(desktop, place):
    """The window `place` names: at its indices when it is still there, else
    the first of its application with its name."""
    try:
        app = desktop.get_child_at_index(place["app_index"])
        window = app.get_child_at_index(place["window_index"])
        if (app.get_name() or "") == place["app"] and (window.get_name() or "") == place["window"]:
            return app, window
    except Exception:
        pass
    for _, app in indexed_children(desktop):
        if (app.get_name() or "") != place["app"]:
            continue
        for _, window in indexed_children(app):
            if (window.get_name() or "") == place["window"]:
                return app, window
    return None, None


def find_target(desktop):
    """(app, window, element) of `target`, the element None when it is gone
    or is no longer the one of the ref (another role or name)."""
    app, window = find_window(desktop, target["window"])
    if window is None:
        return None, None, None
    node = window
    try:
        for index in target["path"]:
            node = node.get_child_at_index(index)
            if node is None:
                return app, window, None
        role = node.get_role_name() or ""
        shown = node.get_name() or node.get_description() or ""
    except Exception:
        return app, window, None
    if role != target["role"] or shown != target["name"]:
        return app, window, None
    return app, window, node


def main():
    desktop = Atspi.get_desktop(0)
    if target is not None:
        app, window, start = find_target(desktop)
        if target["mode"] == "check":
            print(json.dumps({"success": True, "same": start is not None}))
            return
        if start is None:
            print(json.dumps({"success": False, "stale": True,
                              "error": "The element is no longer there"}))
            return
        base, place, header = list(target["path"]), target["window"], 0
    else:
        app, window, app_index, window_index = choose_window(desktop)
        if window is None:
            print(json.dumps({"success": False, "error": "No window found"}))
            return
        start, base = window, []
        place = {"app": (app.get_name() or "") if app is not None else "",
                 "window": window.get_name() or "", "app_index": app_index,
                 "window_index": window_index}
        header = len("Window: ") + len(window.get_name() or "Unknown") + 1
    elements, count, cut, left_out = walk(start, base, header)
    print(json.dumps({
        "success": True,
        "window": window.get_name() or "Unknown",
        "app": (app.get_name() or "") if app is not None else "",
        "elements": elements,
        "element_count": count,
        "place": place,
        "cut": cut,
        "left_out": left_out,
    }, ensure_ascii=False))


main()
sys.stdout.flush()
