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
#
# The elements are read from their application's cache (Cache.GetItems: the
# whole tree in one call) where it holds them, and one call at a time from
# the bus where it does not; a walker of its own reads the first few dozen
# one call at a time (LIVE_FIRST). The long-lived walker keeps each cache
# from one request to the next and follows its application's signals
# (Kept).
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


# Reading a whole application at once ----------------------------------------

class Bus:
    """Our own connection to the accessibility bus (the library's own cannot
    be reached from Python), for the calls that read many elements at once;
    None of it when it cannot be made."""

    connection = None
    tried = False
    TIMEOUT = 10000  # milliseconds

    @classmethod
    def get(cls):
        if cls.connection is not None and cls.connection.is_closed():
            cls.connection, cls.tried = None, False
        if not cls.tried:
            cls.tried = True
            try:
                cls.connection = cls.connect()
            except Exception:
                cls.connection = None
        return cls.connection

    @staticmethod
    def connect():
        import os

        from gi.repository import Gio, GLib
        address = os.environ.get("AT_SPI_BUS_ADDRESS")
        if not address:
            session = Gio.bus_get_sync(Gio.BusType.SESSION, None)
            address = session.call_sync(
                "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", None,
                GLib.VariantType("(s)"), Gio.DBusCallFlags.NONE, Bus.TIMEOUT, None).unpack()[0]
        flags = (Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
                 | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
        return Gio.DBusConnection.new_for_address_sync(address, flags, None, None)

    @classmethod
    def call(cls, bus_name, path, interface, method, arguments, reply):
        from gi.repository import Gio, GLib
        return cls.get().call_sync(bus_name, path, interface, method, arguments,
                                   GLib.VariantType(reply), Gio.DBusCallFlags.NONE,
                                   cls.TIMEOUT, None).unpack()

    @classmethod
    def items(cls, bus_name):
        """The items of an application's cache, or None: (path, parent's bus
        name, parent's path, index in parent, child count, interfaces, name,
        role, description, states)."""
        from gi.repository import Gio
        connection = cls.get()
        if connection is None:
            return None
        message = Gio.DBusMessage.new_method_call(bus_name, "/org/a11y/atspi/cache",
                                                  "org.a11y.atspi.Cache", "GetItems")
        reply, _ = connection.send_message_with_reply_sync(
            message, Gio.DBusSendMessageFlags.NONE, cls.TIMEOUT, None)
        if (reply.get_message_type() != Gio.DBusMessageType.METHOD_RETURN
                or reply.get_signature() != "a((so)(so)(so)iiassusau)"):
            return None
        return parse_items(reply.to_blob(Gio.DBusCapabilityFlags.NONE))


def parse_items(blob):
    """The items of a GetItems reply, read from the D-Bus message itself:
    far cheaper than converting its body to Python values."""
    import struct

    order = "<" if blob[:1] == b"l" else ">"
    u32 = struct.Struct(order + "I").unpack_from
    two = struct.Struct(order + "ii").unpack_from
    fields, = u32(blob, 12)
    position = 16 + fields
    position += -position % 8

    def string(at):
        at += -at % 4
        size, = u32(blob, at)
        return blob[at + 4:at + 4 + size].decode("utf-8", "replace"), at + 5 + size

    size, = u32(blob, position)
    position += 4
    position += -position % 8
    end = position + size
    items = []
    while position < end:
        position += -position % 8
        _, position = string(position)
        path, position = string(position)
        position += -position % 8
        _, position = string(position)
        _, position = string(position)
        position += -position % 8
        parent_bus, position = string(position)
        parent, position = string(position)
        position += -position % 4
        index, count = two(blob, position)
        position += 8
        size, = u32(blob, position)
        position += 4
        interfaces, stop = [], position + size
        while position < stop:
            name, position = string(position)
            interfaces.append(name)
        name, position = string(position)
        position += -position % 4
        role, = u32(blob, position)
        description, position = string(position + 4)
        position += -position % 4
        size, = u32(blob, position)
        words = struct.unpack_from(f"{order}{size // 4}I", blob, position + 4)
        position += 4 + size
        items.append([path, parent_bus, parent, index, count, interfaces, name, role,
                      description, words])
    return items


PATH, PARENT_BUS, PARENT, INDEX, COUNT, INTERFACES, NAME, ROLE, DESCRIPTION, WORDS = range(10)
ROLE_NAMES = {}


def role_name(role):
    """The library's name of a role, as get_role_name() gives it; None where
    the library would ask the application."""
    if role not in ROLE_NAMES:
        name = None
        if 0 <= role < int(Atspi.Role.LAST_DEFINED) and role != int(Atspi.Role.EXTENDED):
            try:
                name = Atspi.role_get_name(Atspi.Role(role))
            except Exception:
                name = None
        ROLE_NAMES[role] = name
    return ROLE_NAMES[role]


STATE_BITS = {}


def state_bit(name):
    """The bit of the state set of the state named in a signal, or None."""
    if not STATE_BITS:
        STATE_BITS.update((state.value_nick, int(state))
                          for state in Atspi.StateType.__enum_values__.values())
    return STATE_BITS.get(name)


class Cache:
    """An application's items by path, and their children."""

    def __init__(self, bus_name, items):
        self.bus_name = bus_name
        self.items = {item[PATH]: item for item in items}
        self.kids = {}
        for item in items:
            if item[PARENT_BUS] == bus_name:
                self.kids.setdefault(item[PARENT], {})[item[INDEX]] = item
        self.complete = {}

    def follow(self, path, member, arguments):
        """Brings the item at the path up to date with a signal of its
        application (a StateChanged or PropertyChange of the element): False
        when the cache cannot follow it and must be read again."""
        item = self.items.get(path)
        if item is None:
            return True  # read from the bus, not from here
        kind, detail = arguments[0], arguments[1]
        value = arguments[3] if len(arguments) > 3 else None
        if member == "StateChanged":
            bit = state_bit(kind)
            # Gone, or its children or states no longer cached: read again.
            if bit is None or kind in ("defunct", "manages-descendants", "transient"):
                return False
            words = list(item[WORDS]) + [0] * (bit // 32 + 1 - len(item[WORDS]))
            words[bit // 32] = (words[bit // 32] & ~(1 << bit % 32)
                                | (1 << bit % 32 if detail else 0))
            item[WORDS] = tuple(words)
            return True
        field = {"accessible-name": NAME, "accessible-description": DESCRIPTION,
                 "accessible-role": ROLE, "accessible-parent": PARENT}.get(kind)
        if field is None:
            return True  # not a property the cache holds
        if field in (NAME, DESCRIPTION) and isinstance(value, str):
            item[field] = value
            return True
        if field == ROLE and isinstance(value, int):
            item[field] = value
            return True
        return False

    def children(self, item):
        """The item's children in order, each an item or None where the
        cache lacks it. The cache tells them when it holds all of them (its
        items name their parent and their place there); else the item's
        children are asked for, in one call."""
        path = item[PATH]
        if path not in self.complete:
            kids, count = self.kids.get(path, {}), item[COUNT]
            if len(kids) == count and all(i in kids for i in range(count)):
                self.complete[path] = [kids[i] for i in range(count)]
            else:
                listed = Bus.call(self.bus_name, path, "org.a11y.atspi.Accessible",
                                  "GetChildren", None, "(a(so))")[0]
                self.complete[path] = [self.items.get(child) if bus == self.bus_name else None
                                       for bus, child in listed]
        return self.complete[path]


class States:
    """A state set of the cache."""

    __slots__ = ("bits",)

    def __init__(self, words):
        self.bits = sum(word << (32 * i) for i, word in enumerate(words))

    def contains(self, state):
        return bool(self.bits >> int(state) & 1)


class Extents:
    __slots__ = ("x", "y", "width", "height")

    def __init__(self, x, y, width, height):
        self.x, self.y, self.width, self.height = x, y, width, height


class Cached:
    """An element as its application's cache describes it: reading it costs
    no call but for its value and extents. Its children are cached ones when
    the cache holds all of them, else read from the bus (the walk then goes
    on there)."""

    __slots__ = ("cache", "item", "parent", "index", "accessible")

    def __init__(self, cache, item, parent, index, accessible=None):
        self.cache, self.item, self.parent, self.index = cache, item, parent, index
        self.accessible = accessible

    def live(self):
        if self.accessible is None:
            self.accessible = self.parent.live().get_child_at_index(self.index)
        return self.accessible

    @property
    def path(self):
        return self.item[PATH]

    def bus_name(self):
        return self.cache.bus_name

    def get_role_name(self):
        name = role_name(self.item[ROLE])
        return name if name is not None else self.live().get_role_name()

    def get_name(self):
        return self.item[NAME]

    def get_description(self):
        return self.item[DESCRIPTION]

    def get_state_set(self):
        return States(self.item[WORDS])

    def get_child_count(self):
        # A negative count: the application does not cache the children
        # (their parent manages them); they are read from the bus.
        count = self.item[COUNT]
        return count if count >= 0 else self.live().get_child_count()

    def get_child_at_index(self, index):
        if self.item[COUNT] < 0:
            return self.live().get_child_at_index(index)
        child = self.cache.children(self.item)[index]
        if child is None:
            return self.live().get_child_at_index(index)
        return Cached(self.cache, child, self, index)

    def get_value_iface(self):
        return self if "org.a11y.atspi.Value" in self.item[INTERFACES] else None

    def get_current_value(self):
        return Bus.call(self.cache.bus_name, self.item[PATH], "org.freedesktop.DBus.Properties",
                        "Get", variant("(ss)", ("org.a11y.atspi.Value", "CurrentValue")),
                        "(v)")[0]

    def get_extents(self, coordinates):
        if "org.a11y.atspi.Component" not in self.item[INTERFACES]:
            raise NotImplementedError("no Component interface")
        box = Bus.call(self.cache.bus_name, self.item[PATH], "org.a11y.atspi.Component",
                       "GetExtents", variant("(u)", (int(coordinates),)), "((iiii))")[0]
        return Extents(*box)


def variant(kind, value):
    from gi.repository import GLib
    return GLib.Variant(kind, value)


def bus_name_of(node):
    try:
        return node.bus_name() if isinstance(node, Cached) else node.app.bus_name
    except Exception:
        return None


def object_path_of(node):
    try:
        return node.path
    except Exception:
        return None


def application_cache(node):
    """The cache of the element's application, or None where it cannot be
    read."""
    try:
        bus_name = node.app.bus_name
        if serve:
            return Kept.cache(bus_name, node.path)
        items = Bus.items(bus_name)
        return Cache(bus_name, items) if items else None
    except Exception:
        return None


class Kept:
    """The long-lived walker's caches, kept from one request to the next and
    kept current by their application's signals. An application signals
    every change of its tree and of its elements' names, descriptions, roles
    and states, listened to or not (its cache's clients need them): a change
    of the tree drops the cache, and the watch on it, until it is read
    again; the others are written into it. A kept cache is used after a Ping
    to its application: the answer comes after every signal the application
    sent before it, on the same connection, so those signals have been
    followed by then."""

    LIMIT = 8  # applications
    connection = None
    caches = {}  # bus name: Cache
    watches = {}  # bus name: subscription

    @classmethod
    def cache(cls, bus_name, path):
        """The application's cache, holding the element at the path."""
        connection = Bus.get()
        if connection is None:
            return None
        if connection is not cls.connection:
            cls.connection, cls.caches, cls.watches = connection, {}, {}
        if bus_name in cls.caches:
            try:
                Bus.call(bus_name, "/org/a11y/atspi/accessible/root",
                         "org.freedesktop.DBus.Peer", "Ping", None, "()")
            except Exception:
                cls.forget(bus_name)
                raise
            pending_signals()
            kept = cls.caches.get(bus_name)
            if kept is not None and path in kept.items:
                # The most recently used last: the first is forgotten first.
                cls.caches[bus_name] = cls.caches.pop(bus_name)
                return kept
        # Watched before it is read: a change after the reading is heard.
        cls.watch(bus_name)
        items = Bus.items(bus_name)
        if not items:
            cls.forget(bus_name)
            return None
        cache = cls.caches[bus_name] = Cache(bus_name, items)
        while len(cls.caches) > cls.LIMIT:
            cls.forget(next(iter(cls.caches)))
        return cache

    @classmethod
    def watch(cls, bus_name):
        if bus_name not in cls.watches:
            from gi.repository import Gio
            cls.watches[bus_name] = cls.connection.signal_subscribe(
                bus_name, None, None, None, None, Gio.DBusSignalFlags.NONE, cls.heard)

    @classmethod
    def heard(cls, connection, bus_name, path, interface, member, arguments):
        """Follows the signals the library's own cache follows: a change of
        the tree drops the cache, a change of an element's states, name,
        description or role is written into it, the rest changes nothing
        it holds."""
        cache = cls.caches.get(bus_name)
        if cache is None:
            return
        if interface == "org.a11y.atspi.Cache":
            cls.forget(bus_name)
        elif interface != "org.a11y.atspi.Event.Object":
            pass
        elif member == "ChildrenChanged":
            if path in cache.items:
                cls.forget(bus_name)
        elif member in ("StateChanged", "PropertyChange"):
            try:
                followed = cache.follow(path, member, arguments.unpack())
            except Exception:
                followed = False
            if not followed:
                cls.forget(bus_name)

    @classmethod
    def forget(cls, bus_name):
        cls.caches.pop(bus_name, None)
        watch = cls.watches.pop(bus_name, None)
        if watch is not None:
            cls.connection.signal_unsubscribe(watch)


def pending_signals():
    """Hands the signals that arrived to their watchers."""
    from gi.repository import GLib
    context = GLib.MainContext.default()
    while context.iteration(False):
        pass


def as_cached(node, cache):
    """The element as the cache describes it, or the element itself where
    there is no cache or it does not know the element."""
    if cache is None or isinstance(node, Cached):
        return node
    try:
        item = cache.items.get(node.path)
        if item is None or item[NAME] != (node.get_name() or ""):
            return node
        return Cached(cache, item, None, None, node)
    except Exception:
        return node


# A walker of its own (one snapshot) reads this many elements one call at a
# time before it reads their application's cache: a connection of its own
# and the whole application in one call cost more than a small window's
# calls. The long-lived walker, whose connection is made, reads the cache
# at once.
LIVE_FIRST = 32


# Finding the window -----------------------------------------------------------

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


# Acting on an element ---------------------------------------------------------------

CLICK_ACTIONS = ("click", "press", "activate", "toggle")
TOGGLE_ACTIONS = ("toggle", "click")


def interfaces(node):
    try:
        return set(node.get_interfaces() or ())
    except Exception:
        return set()


def pick_action(node, preferred):
    """(index, name) of the first of the preferred actions the element
    offers, else of its first action; None when it offers none."""
    if "Action" not in interfaces(node):
        return None
    names = [Atspi.Action.get_action_name(node, i) or ""
             for i in range(Atspi.Action.get_n_actions(node))]
    for wanted in preferred:
        if wanted in names:
            return names.index(wanted), wanted
    return (0, names[0]) if names else None


def centre(node):
    """The centre of the element on the screen, or None."""
    try:
        box = node.get_extents(Atspi.CoordType.SCREEN)
    except Exception:
        return None
    if box.width <= 0 or box.height <= 0 or NO_POSITION in (box.x, box.y):
        return None
    return box.x + box.width // 2, box.y + box.height // 2


def has_state(node, state):
    try:
        return node.get_state_set().contains(state)
    except Exception:
        return False


def is_checked(node):
    return has_state(node, Atspi.StateType.CHECKED) or has_state(node, Atspi.StateType.PRESSED)


def wait_until(condition, seconds=1.0):
    """Whether the condition held within the time (applications often act
    on a request at their next idle moment)."""
    import time

    deadline = time.monotonic() + seconds
    while True:
        if condition():
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)


def do_action(node, index, times=1):
    for _ in range(times):
        if not Atspi.Action.do_action(node, index):
            return False
    return True


def by_mouse(node, answer):
    point = centre(node)
    if point is None:
        return {"success": False, "error": "The element has no action and no place on the "
                                           "screen to click at"}
    answer.update(method="mouse", x=point[0], y=point[1])
    return answer


def click(node, request):
    found = pick_action(node, CLICK_ACTIONS)
    if found is None:
        return by_mouse(node, {"success": True})
    if not do_action(node, found[0], 2 if request.get("double") else 1):
        return {"success": False, "error": f"The element refused its action {found[1]!r}"}
    return {"success": True, "method": "action", "action_name": found[1]}


def toggle(node, request):
    before = is_checked(node)
    found = pick_action(node, TOGGLE_ACTIONS)
    if found is None:
        return by_mouse(node, {"success": True, "was_checked": before})
    if not do_action(node, found[0]):
        return {"success": False, "error": f"The element refused its action {found[1]!r}"}
    wait_until(lambda: is_checked(node) != before)
    return {"success": True, "method": "action", "action_name": found[1],
            "checked": is_checked(node)}


def checked_state(node, request):
    """The state after a click elsewhere: once it differs from "was_checked",
    or as it is after a moment."""
    before = request.get("was_checked")
    wait_until(lambda: is_checked(node) != before)
    return {"success": True, "checked": is_checked(node)}


def focus(node):
    """Gives the element the keyboard focus; whether it has it."""
    if has_state(node, Atspi.StateType.FOCUSED):
        return True
    try:
        Atspi.Component.grab_focus(node)
    except Exception:
        return False
    return wait_until(lambda: has_state(node, Atspi.StateType.FOCUSED))


def read_text(node):
    try:
        return Atspi.Text.get_text(node, 0, -1)
    except Exception:
        return None


def type_text(node, request):
    text, enter = request["text"], request.get("enter")
    editable = "EditableText" in interfaces(node)
    if (enter or not editable) and not focus(node):
        return {"success": False, "error": "The element could not take the keyboard focus; "
                                           "nothing was typed"}
    if not editable:
        return {"success": True, "method": "keyboard"}
    if request.get("clear"):
        done = Atspi.EditableText.set_text_contents(node, text)
    else:
        # At the caret of an element that has the focus; at the end of one
        # that has not (its caret is wherever it was left).
        caret = -1
        if has_state(node, Atspi.StateType.FOCUSED):
            try:
                caret = Atspi.Text.get_caret_offset(node)
            except Exception:
                pass
        if caret < 0:
            caret = Atspi.Text.get_character_count(node)
        done = Atspi.EditableText.insert_text(node, caret, text, len(text.encode("utf-8")))
    if not done:
        return {"success": False, "error": "The element refused the text"}
    answer = {"success": True, "method": "editable_text"}
    value = read_text(node)
    if value is not None:
        answer["value"] = value
    return answer


ITEM_LISTS = {"list", "list box", "menu", "combo box", "tree", "tree table", "table",
              "page tab list"}


def select(node, request):
    """The item whose name is the value, among the element's children or
    those of its list (or menu) child, selected through the Selection
    interface of the element, else of that child."""
    value = request["value"]
    own = "Selection" in interfaces(node)
    choices = []
    items = list(indexed_children(node))
    for i, child in items:
        name = child.get_name() or ""
        choices.append(name)
        if name == value and own:
            return selected(node, i, value)
    for _, child in items:
        if (child.get_role_name() or "") not in ITEM_LISTS:
            continue
        holder = node if own else child if "Selection" in interfaces(child) else None
        for j, item in indexed_children(child):
            name = item.get_name() or ""
            choices.append(name)
            if name == value and holder is not None:
                return selected(holder, j, value)
    listed = ", ".join(json.dumps(choice, ensure_ascii=False) for choice in choices if choice)
    if not own and not any(
            "Selection" in interfaces(child) for _, child in items
            if (child.get_role_name() or "") in ITEM_LISTS):
        error = "The element has no items that can be selected"
    else:
        error = f"No item named {json.dumps(value, ensure_ascii=False)} to select"
    return {"success": False, "error": error + (f"; it offers {listed}" if listed else ""),
            "choices": [choice for choice in choices if choice]}


def selected(holder, index, value):
    if not Atspi.Selection.select_child(holder, index):
        return {"success": False, "error": f"The element refused to select {value!r}"}
    return {"success": True, "method": "selection", "value": value}


def act(node, request):
    return {"click": click, "toggle": toggle, "state": checked_state, "type": type_text,
            "select": select}[request["kind"]](node, request)


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
