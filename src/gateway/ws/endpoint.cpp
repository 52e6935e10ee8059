#include "gateway/ws/endpoint.h"

#include "gateway/ws/connection_manager.h"
#include "gateway/ws/handlers.h"
#include "gateway/ws/origin.h"
#include "gateway/ws/texts.h"

#include <optional>

namespace ombrel::gateway {

namespace {
const Interned loads_name("loads"), connect_name("connect"), disconnect_name("disconnect"),
    accept_name("accept");
constinit common::ImportedName web_socket_disconnect("fastapi", "WebSocketDisconnect"),
    json_module("json");

/// `manager` when it is a `ConnectionManager` whose methods are still the
/// module's own, which then run here without a Python call.
ConnectionManager *own(nb::handle manager) {
    if (!own_manager_type.holds(manager.ptr()) || !nb::inst_ready(manager))
        return nullptr;
    return nb::inst_ptr<ConnectionManager>(manager);
}

/// `manager.disconnect(ws)`, the module's `manager` read now.
void disconnect(nb::handle ws) {
    nb::object manager = module_attr(names::manager);
    if (ConnectionManager *registry = own(manager))
        ombrel::gateway::disconnect(*registry, ws);
    else
        call_method(manager, disconnect_name, ws);
}
} // namespace

// The receive loop's awaits are taken as outcomes: a client's disconnect
// ends the loop without a C++ exception.
Coro<void> websocket_endpoint(nb::object self, nb::object ws) {
    bridge::Local<> origin;
    if (!origin_allowed(ws, nb::cast<WebSocketEndpoint &>(self).allowed_origins, origin)) {
        // Refused before the handshake is accepted: the client sees HTTP 403.
        logger.warning(texts::LOG_REJECTED_ORIGIN, origin);
        co_await ws.attr("close")(nb::arg("code") = 1008);
        co_return;
    }

    bridge::Local<> loads = common::attr(json_module.get(), loads_name);

    // `await manager.connect(ws)`
    {
        bridge::Local<> manager = module_attr(names::manager);
        if (ConnectionManager *registry = own(manager)) {
            co_await bridge::propagating(call_method(ws, accept_name));
            register_connection(*registry, ws);
        } else {
            nb::object connecting = call_method(manager, connect_name, ws);
            manager.reset();
            co_await bridge::propagating(std::move(connecting));
        }
    }
    std::optional<nb::python_error> failure;
    try {
        for (;;) {
            bridge::Local<> message;
            {
                bridge::Outcome text =
                    co_await bridge::outcome(call_method(ws, names::receive_text));
                if (!text) {
                    failure.emplace(text.take_error());
                    break;
                }
                message = common::checked(PyObject_CallOneArg(loads.ptr(), text.value().ptr()));
            }
            bridge::Outcome handled =
                co_await bridge::outcome(command_awaitable(ws, std::move(message)));
            if (!handled) {
                failure.emplace(handled.take_error());
                break;
            }
        }
    } catch (...) {
        failure.emplace(bridge::as_python_error(std::current_exception()));
    }
    if (failure->matches(web_socket_disconnect.get())) {
        disconnect(ws);
        co_return;
    }
    if (!common::is_exception(*failure))
        co_await bridge::raise(std::move(*failure));
    logger.exception(texts::LOG_WEBSOCKET_ERROR, failure->value());
    disconnect(ws);
}

/// `endpoint(ws)` or `endpoint(ws=ws)`, as FastAPI calls it, makes the
/// coroutine without looking up and dispatching `__call__`; any other call
/// goes to `__call__`, for its checks and messages.
static PyObject *call_endpoint(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    static const Interned ws_name("ws"), call_name("__call__");
    Py_ssize_t keywords = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    PyObject *ws = nullptr;
    if (PyTuple_GET_SIZE(args) == 1 && keywords == 0)
        ws = PyTuple_GET_ITEM(args, 0);
    else if (PyTuple_GET_SIZE(args) == 0 && keywords == 1 &&
             !(ws = PyDict_GetItemWithError(kwargs, ws_name.get().ptr())) && PyErr_Occurred())
        return nullptr;
    if (!ws || !nb::inst_ready(self)) {
        PyObject *call = PyObject_GetAttr(self, call_name.get().ptr());
        if (!call)
            return nullptr;
        PyObject *result = PyObject_Call(call, args, kwargs);
        Py_DECREF(call);
        return result;
    }
    try {
        return websocket_endpoint(nb::borrow(self), nb::borrow(ws))
            .named(endpoint_qualname)
            .to_python()
            .release()
            .ptr();
    } catch (...) {
        bridge::restore_error(std::current_exception());
        return nullptr;
    }
}

const PyType_Slot endpoint_slots[] = {
    {Py_tp_call, reinterpret_cast<void *>(&call_endpoint)},
    {0, nullptr},
};

void describe_endpoint(nb::handle endpoint) {
    nb::object web_socket = nb::module_::import_("fastapi").attr("WebSocket");
    nb::module_ inspect = nb::module_::import_("inspect");
    nb::object parameter_type = inspect.attr("Parameter");
    nb::object ws = parameter_type(
        "ws", parameter_type.attr("POSITIONAL_OR_KEYWORD"), nb::arg("annotation") = web_socket);
    nb::object signature = inspect.attr("Signature")(
        nb::make_tuple(ws), nb::arg("return_annotation") = nb::none());

    nb::dict annotations;
    annotations["ws"] = web_socket;
    annotations["return"] = nb::none();

    nb::setattr(endpoint, "__name__", nb::str("websocket_endpoint"));
    nb::setattr(endpoint, "__qualname__", nb::str(endpoint_qualname));
    nb::setattr(endpoint, "__signature__", signature);
    nb::setattr(endpoint, "__annotations__", annotations);

    // An `async def` to `inspect.iscoroutinefunction` (3.12+) and, on 3.11,
    // to `asyncio.iscoroutinefunction`, which FastAPI uses there.
    if (nb::hasattr(inspect, "markcoroutinefunction")) {
        inspect.attr("markcoroutinefunction")(endpoint);
    } else {
        nb::object coroutines = nb::module_::import_("asyncio.coroutines");
        nb::object marker = nb::getattr(coroutines, "_is_coroutine", nb::none());
        if (!marker.is_none())
            nb::setattr(endpoint, "_is_coroutine", marker);
    }
}

nb::object create_ws_router(nb::object allowed_origins) {
    nb::object origins = allowed_origin_set(allowed_origins);
    nb::object router = nb::module_::import_("fastapi").attr("APIRouter")();
    nb::object endpoint = nb::cast(WebSocketEndpoint{std::move(origins)});
    describe_endpoint(endpoint);
    router.attr("websocket")("/ws")(endpoint);
    return router;
}

} // namespace ombrel::gateway
