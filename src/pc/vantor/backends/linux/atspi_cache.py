# The part of the AT-SPI walker (atspi_walker.py) that reads a whole
# application at once, run by it when a walk needs it: the walker's settings
# and helpers are its globals.

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

    @property
    def app(self):
        # What the walk asks of an element's application: its bus name.
        return self.cache

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
