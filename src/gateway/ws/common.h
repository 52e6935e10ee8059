// Helpers shared by the gateway's handlers: the module namespace, the host's
// server state, sending events and Python's own text and mapping rules.
#pragma once

#include "bridge/bridge.h"

#include <initializer_list>
#include <utility>

namespace ombrel::gateway {

namespace nb = nanobind;
namespace bridge = ombrel::bridge;
using bridge::Coro;

/// A text used on every event (an attribute name, a command name), made into
/// an interned Python string once and kept for the life of the process, as
/// the interpreter keeps its own identifiers.
class Interned {
public:
    explicit constexpr Interned(const char *text) : text_(text) {}
    nb::handle get() const;
    operator nb::handle() const { return get(); }

private:
    const char *text_;
    mutable PyObject *object_ = nullptr;
};

/// `value == text`, with a fast path for an exact `str`.
bool equals(nb::handle value, const Interned &text);

/// `object.name()` and `object.name(arg)`, called as Python calls methods
/// (without making a bound method first).
nb::object call_method(nb::handle object, const Interned &name);
nb::object call_method(nb::handle object, const Interned &name, nb::handle arg);

namespace names {
inline constinit Interned send_json("send_json");
inline constinit Interned receive_text("receive_text");
inline constinit Interned to_dict("to_dict");
inline constinit Interned type("type");
inline constinit Interned data("data");
inline constinit Interned get("get");
inline constinit Interned tool_approval_needed("tool_approval_needed");
} // namespace names

/// The module's logger, "ombrel.ws".
inline constexpr bridge::Logger logger("ombrel.ws");

/// Our module's attribute `name`, looked up at the time of use (`manager`,
/// `_FORCE_CU_KEYWORDS`), so that the module namespace is what counts.
nb::object module_attr(const char *name);

/// `from ombrel.gateway.server import get_state; get_state()`, at each call.
nb::object server_state();

/// `mapping.get(key)`: None for a missing key.
nb::object state_get(nb::handle state, const char *key);

/// `mapping.get(key, fallback)`, with a fast path for plain dictionaries.
nb::object get(nb::handle mapping, const char *key, nb::handle fallback);

/// `isinstance(value, collections.abc.Mapping)`.
bool is_mapping(nb::handle value);

/// `str(value)`.
nb::str text_of(nb::handle value);

/// `prefix + str(value)`.
nb::str append_text(const char *prefix, nb::handle value);

/// `text[:count]`, by code points as Python slices.
nb::object first_chars(nb::handle text, Py_ssize_t count);

/// `ws.send_json(event)`, to be awaited.
nb::object send_json(nb::handle ws, nb::handle event);

/// A JSON event: a plain dict whose keys keep the order given.
nb::dict event(std::initializer_list<std::pair<const char *, nb::handle>> items);

/// {"type": "error", "message": message}
nb::dict error_event(nb::handle message);
nb::dict error_event(const char *message);

} // namespace ombrel::gateway
