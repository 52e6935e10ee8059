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
#                            "root" (walk its subtree), "check" (say whether
#                            it is still there and still the same) or "act"
#                            (do "action" on it, see act()); "bus_name" and
#                            "object_path", when given, must be the element's
#                            too
#   actions                  each ref's record also names its application's
#                            bus name and its object path ("bus_name",
#                            "object_path"), and the window's place its
#                            application's bus name
#   match_apps               a target_title that no window's name contains
#                            may name the application, or a window that
#                            xdotool lists under that title (its process)
#   serve                    True: one document a request, for as long as the
#                            standard input lasts; a request is a line, the
#                            JSON object of the settings above, and its answer
#                            a line of JSON
#   parts                    the text of each part of the walker that not
#                            every job needs: {"cache": atspi_cache.py,
#                            "actions": atspi_actions.py}, see load()
#
# The elements are read from their application's cache (Cache.GetItems: the
# whole tree in one call, atspi_cache.py) where it holds them, and one call
# at a time from the bus where it does not; a walker of its own reads the
# first few dozen one call at a time (LIVE_FIRST). The long-lived walker
# keeps each cache from one request to the next and follows its
# application's signals (Kept).
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


def load(part):
    """Runs one of the walker's parts the first time a job needs it. Python
    compiles what it runs, and a walker of its own pays for that on every
    call: a snapshot of a small window compiles neither the reading of
    whole applications nor the actions."""
    source = parts.pop(part, None)
    if source is not None:
        exec(compile(source, f"atspi_{part}.py", "exec"), globals())


# A walker of its own (one snapshot) reads this many elements one call at a
# time before it reads their application's cache: a connection of its own
# and the whole application in one call cost more than a small window's
# calls. The long-lived walker, whose connection is made, reads the cache
# at once.
LIVE_FIRST = 32


def bus_name_of(node):
    try:
        return node.app.bus_name
    except Exception:
        return None


def object_path_of(node):
    try:
        return node.path
    except Exception:
        return None


# Finding the window -----------------------------------------------------------

def indexed_children(node):
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is not None:
            yield i, child


def is_active(window):
    try:
        return window.get_state_set().contains(Atspi.StateType.ACTIVE)
    except Exception:
        return False


def first_window(app):
    for w, window in indexed_children(app):
        if (window.get_role_name() or "") in ("frame", "window", "dialog"):
            return window, w
    return None, None


def listed_pids(title):
    """The processes of the windows xdotool lists under the title (a part of
    their name, in any letter case)."""
    import re
    import subprocess

    pattern = re.sub(r"([][.^$*+?(){}|\\])", r"\\\1", title)
    try:
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", pattern],
                               capture_output=True, text=True, timeout=5).stdout.split()
    except Exception:
        return []
    pids = []
    for window_id in found[:20]:
        try:
            pid = subprocess.run(["xdotool", "getwindowpid", window_id], capture_output=True,
                                 text=True, timeout=5).stdout.strip()
        except Exception:
            continue
        if pid.isdigit() and int(pid) not in pids:
            pids.append(int(pid))
    return pids


def window_of_app(desktop, title):
    """(app, window, app index, window index) of the application whose name
    contains the title (in any letter case), else of the process xdotool
    lists under it."""
    for a, app in indexed_children(desktop):
        if title.lower() in (app.get_name() or "").lower():
            window, w = first_window(app)
            if window is not None:
                return app, window, a, w
    pids = listed_pids(title)
    for a, app in indexed_children(desktop):
        try:
            pid = app.get_process_id()
        except Exception:
            continue
        if pid in pids:
            window, w = first_window(app)
            if window is not None:
                return app, window, a, w
    return None, None, None, None


def choose_window(desktop):
    """(app, window, app index, window index); Nones when there is none."""
    title = target_title.lower()
    for a, app in indexed_children(desktop):
        for w, window in indexed_children(app):
            # Each read is a round trip: the name first, when it decides.
            if title and title not in (window.get_name() or "").lower():
                continue
            if (window.get_role_name() or "") not in ("frame", "window", "dialog"):
                continue
            if title or is_active(window):
                return app, window, a, w
    if title and match_apps:
        found = window_of_app(desktop, target_title)
        if found[1] is not None:
            return found
    for a, app in indexed_children(desktop):
        for w, window in indexed_children(app):
            name = window.get_name() or ""
            role = window.get_role_name() or ""
            if role in ("frame", "window") and name:
                return app, window, a, w
    return None, None, None, None


# The walk -----------------------------------------------------------------------

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


NO_POSITION = -2 ** 31


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
    except Exception:
        return
    # An element with no place on the screen (a closed menu's items) has
    # the smallest int for its position: it has no bounds.
    if extents.x != NO_POSITION and extents.y != NO_POSITION:
        record["bounds"] = [extents.x, extents.y, extents.width, extents.height]


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
            if visited == (0 if serve else LIVE_FIRST):
                # From here on, the application's cache.
                load("cache")
                cache = application_cache(node)
                node = as_cached(node, cache)
                for top in path:
                    top[0] = as_cached(top[0], cache)
            visited += 1
            try:
                role = node.get_role_name() or ""
                record = None
                # Only an element of a role that can be listed needs more
                # than its children: each read may be a round trip to the
                # application.
                if role in INTERACTIVE or role in CONTEXT:
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
                    if role in INTERACTIVE and enabled:
                        ref += 1
                        record = {"ref": ref, "role": role, "name": shown,
                                  "value": value_text(node), "depth": depth, "path": where}
                        if actions:
                            record["bus_name"] = bus_name_of(node)
                            record["object_path"] = object_path_of(node)
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


# Finding a ref's element again ------------------------------------------------

def find_window(desktop, place):
    """The window `place` names: at its indices when it is still there, else
    the first of its application with its name. With a "bus_name", only in
    the application of that bus name."""
    bus_name = place.get("bus_name")
    try:
        app = desktop.get_child_at_index(place["app_index"])
        window = app.get_child_at_index(place["window_index"])
        if ((app.get_name() or "") == place["app"] and (window.get_name() or "") == place["window"]
                and (bus_name is None or bus_name_of(app) == bus_name)):
            return app, window
    except Exception:
        pass
    for _, app in indexed_children(desktop):
        if (app.get_name() or "") != place["app"]:
            continue
        if bus_name is not None and bus_name_of(app) != bus_name:
            continue
        for _, window in indexed_children(app):
            if (window.get_name() or "") == place["window"]:
                return app, window
    return None, None


def find_target(desktop):
    """(app, window, element) of `target`, the element None when it is gone
    or is no longer the one of the ref (another role or name, or another
    object than the one named)."""
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
    if target.get("object_path") and object_path_of(node) != target["object_path"]:
        return app, window, None
    return app, window, node


# The answer ---------------------------------------------------------------------------

def answer():
    desktop = Atspi.get_desktop(0)
    if target is not None:
        app, window, start = find_target(desktop)
        if target["mode"] == "check":
            return {"success": True, "same": start is not None}
        if start is None:
            return {"success": False, "stale": True, "error": "The element is no longer there"}
        if target["mode"] == "act":
            load("actions")
            return act(start, target["action"])
        base, place, header = list(target["path"]), target["window"], 0
    else:
        app, window, app_index, window_index = choose_window(desktop)
        if window is None:
            return {"success": False, "error": "No window found"}
        start, base = window, []
    # Each name is read once: every read is a round trip.
    window_name = window.get_name() or ""
    app_name = (app.get_name() or "") if app is not None else ""
    if target is None:
        place = {"app": app_name, "window": window_name, "app_index": app_index,
                 "window_index": window_index}
        if actions:
            place["bus_name"] = bus_name_of(app)
        header = len("Window: ") + len(window_name or "Unknown") + 1
    elements, count, cut, left_out = walk(start, base, header)
    return {
        "success": True,
        "window": window_name or "Unknown",
        "app": app_name,
        "elements": elements,
        "element_count": count,
        "place": place,
        "cut": cut,
        "left_out": left_out,
    }


def answer_line(line):
    try:
        globals().update(json.loads(line))
        document = answer()
    except Exception as error:
        document = {"success": False, "error": f"{type(error).__name__}: {error}"}
    sys.stdout.write(json.dumps(document, ensure_ascii=False) + "\n")
    sys.stdout.flush()


def serve_requests():
    """Answers each line of the standard input until it ends. Between
    requests the main loop runs, so that signals are handled as they come
    rather than piling up."""
    import os

    from gi.repository import GLib
    loop, pending = GLib.MainLoop(), [b""]

    def readable(fd, condition):
        chunk = os.read(fd, 1 << 16)
        if not chunk:
            if pending[0]:
                answer_line(pending[0])
            loop.quit()
            return False
        *lines, pending[0] = (pending[0] + chunk).split(b"\n")
        for line in lines:
            answer_line(line)
        return True

    GLib.io_add_watch(sys.stdin.fileno(), GLib.PRIORITY_DEFAULT,
                      GLib.IOCondition.IN | GLib.IOCondition.HUP, readable)
    loop.run()


if serve:
    serve_requests()
else:
    print(json.dumps(answer(), ensure_ascii=False))
    sys.stdout.flush()
