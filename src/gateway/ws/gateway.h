// The gateway's shared declarations: its names and logger, its module
// namespace, the host's server state, events and how they are sent.
#pragma once

#include "bridge/bridge.h"
#include "common/common.h"

#include <initializer_list>
#include <utility>

namespace ombrel::gateway {

namespace nb = nanobind;
namespace bridge = ombrel::bridge;
using bridge::Coro;

using common::call_method;
using common::equal;
using common::get;
using common::Interned;
using common::is_mapping;

namespace names {
inline constinit Interned send_json("send_json");
inline constinit Interned receive_text("receive_text");
inline constinit Interned to_dict("to_dict");
inline constinit Interned type("type");
inline constinit Interned data("data");
inline constinit Interned tool_approval_needed("tool_approval_needed");
inline constinit Interned module("ombrel.gateway.ws");
inline constinit Interned manager("manager");
inline constinit Interned FORCE_CU_KEYWORDS("_FORCE_CU_KEYWORDS");
inline constinit Interned BROADCAST_SEND_TIMEOUT("BROADCAST_SEND_TIMEOUT");
} // namespace names

/// The module's logger, "ombrel.ws".
inline constinit bridge::Logger logger("ombrel.ws");

/// Our module's attribute `name`, looked up at the time of use (`manager`,
/// `_FORCE_CU_KEYWORDS`), so that the module namespace is what counts.
inline nb::object module_attr(const Interned &name) {
    return common::module_attr(names::module, name);
}

/// `from ombrel.gateway.server import get_state; get_state()`, at each call.
nb::object server_state();

/// `mapping.get(key)`: None for a missing key.
nb::object state_get(nb::handle state, const char *key);

/// `str(value)`.
using common::text_of;

/// `prefix + str(value)`.
nb::str append_text(const char *prefix, nb::handle value);

/// `text[:count]`, by code points as Python slices.
nb::object first_chars(nb::handle text, Py_ssize_t count);

/// `ws.send_json(event)`, to be awaited; for a connection with a queue of
/// its own (`create_ws_router(queue_size=..., replay=...)`), the event
/// queued, and an awaitable that is done at once.
nb::object send_json(nb::handle ws, nb::handle event);

/// A JSON event: a plain dict whose keys keep the order given.
nb::dict event(std::initializer_list<std::pair<const char *, nb::handle>> items);

/// {"type": "error", "message": message}
nb::dict error_event(nb::handle message);
nb::dict error_event(const char *message);

} // namespace ombrel::gateway
