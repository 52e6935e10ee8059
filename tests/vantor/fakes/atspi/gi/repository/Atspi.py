"""The AT-SPI calls of the walker script over a desktop described in JSON.

A node is {"role", "name", "description", "states": [state names], "value":
number (offers the Value interface), "children": [nodes or null],
"fail": [method names that raise], "old": true (a binding whose Value
interface is reached through get_value() only)}. The desktop's children are
the applications, theirs the windows.
"""
import enum
import json
import os


class StateType(enum.Enum):
    ACTIVE = 1
    ENABLED = 8
    SENSITIVE = 24


class StateSet:
    def __init__(self, names):
        self._states = {StateType[name] for name in names}

    def contains(self, state):
        return state in self._states


class Value:
    def __init__(self, current):
        self._current = current

    def get_current_value(self):
        return self._current


class Accessible:
    def __init__(self, node):
        self._node = node

    def _check(self, method):
        if method in self._node.get("fail", ()):
            raise RuntimeError(f"{method} failed")

    def get_child_count(self):
        self._check("get_child_count")
        return len(self._node.get("children", ()))

    def get_child_at_index(self, index):
        self._check("get_child_at_index")
        child = self._node.get("children", ())[index]
        if child is None:
            return None
        return (OldAccessible if child.get("old") else Accessible)(child)

    def get_name(self):
        self._check("get_name")
        return self._node.get("name")

    def get_role_name(self):
        self._check("get_role_name")
        return self._node.get("role")

    def get_description(self):
        self._check("get_description")
        return self._node.get("description")

    def get_state_set(self):
        self._check("get_state_set")
        return StateSet(self._node.get("states", ["ENABLED"]))

    def get_value_iface(self):
        self._check("value")
        return Value(self._node["value"]) if "value" in self._node else None


class OldAccessible(Accessible):
    get_value_iface = None

    def get_value(self):
        return Accessible.get_value_iface(self)


def get_desktop(index):
    with open(os.environ["VANTOR_FAKE_DESKTOP"]) as source:
        return Accessible({"role": "desktop frame", "children": json.load(source)})
