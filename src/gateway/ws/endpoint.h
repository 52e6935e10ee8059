// The "/ws" route: the endpoint FastAPI calls for each connection, its
// receive loop, and the router that carries it.
#pragma once

#include "gateway/ws/delivery.h"
#include "gateway/ws/gateway.h"

#include <cstddef>

namespace ombrel::gateway {

/// The callable registered as "/ws": `websocket_endpoint(ws: WebSocket)`.
/// Each router has its own, with that router's allowed origins.
struct WebSocketEndpoint {
    /// None, or a frozenset of exact origin texts (it holds only strings, so
    /// it cannot take part in a reference cycle).
    nb::object allowed_origins;
    // What the router was made with beyond the plain protocol (all off by
    // default). The token is a str or None: no cycle either.
    DeliveryOptions delivery;
    nb::object token = nb::none();
    bool close_codes = false;
    bool errors_as_events = false;
    std::size_t max_message_size = 0;
};

/// One connection: the Origin check, then register, read, dispatch until the
/// client goes or an error ends it.
Coro<void> websocket_endpoint(nb::object self, nb::object ws);

/// The `__qualname__` of the endpoint's coroutines.
inline constexpr const char *endpoint_qualname = "create_ws_router.<locals>.websocket_endpoint";

/// The slots the endpoint's class is created with: its call goes straight to
/// the endpoint (FastAPI calls it for every connection), beside the
/// `__call__` the class defines with `bridge::def_beside_slot`.
extern const PyType_Slot endpoint_slots[];

/// Describes `endpoint` to FastAPI as the coroutine function
/// `websocket_endpoint(ws: WebSocket) -> None`.
void describe_endpoint(nb::handle endpoint);

/// A new `APIRouter` with the route "/ws".
nb::object create_ws_router(nb::object allowed_origins, nb::object queue_size, nb::object token,
                            nb::object replay, nb::object close_codes,
                            nb::object max_message_size, nb::object errors_as_events);

} // namespace ombrel::gateway
