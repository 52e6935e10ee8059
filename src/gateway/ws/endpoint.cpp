#include "gateway/ws/endpoint.h"

#include "gateway/ws/connection_manager.h"
#include "gateway/ws/delivery.h"
#include "gateway/ws/handlers.h"
#include "gateway/ws/handshake.h"
#include "gateway/ws/origin.h"
#include "gateway/ws/texts.h"

#include <optional>

namespace ombrel::gateway {

namespace {
const Interned loads_name("loads"), connect_name("connect"), disconnect_name("disconnect"),
    accept_name("accept"), close_name("close"), done_name("done"), cancel_name("cancel");
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

namespace {

/// The close code and reason of a connection ended by a protocol error,
/// under `close_codes`.
struct FatalClose {
    int code;
    const char *reason;
};

/// The error a frame over `max_message_size` ends its connection with.
nb::python_error oversize_error(Py_ssize_t size, std::size_t limit) {
    PyErr_Format(PyExc_ValueError, "a frame of %zd characters is over max_message_size (%zu)",
                 size, limit);
    return nb::python_error();
}

/// `ws.accept()`, with the subprotocol the client offered besides its token
/// when the router takes a token.
nb::object accepting(nb::handle ws, const WebSocketEndpoint &endpoint) {
    if (endpoint.token.is_none())
        return call_method(ws, accept_name);
    nb::object subprotocol = chosen_subprotocol(ws);
    if (subprotocol.is_none())
        return call_method(ws, accept_name);
    return common::attr(ws, accept_name)(nb::arg("subprotocol") = subprotocol);
}


/// The read of the next frame, as a task of its own: under per-client
/// delivery the next frame is read while a command runs, so that a client
/// that goes away mid-turn is noticed at once, and its session freed for
/// the page that comes back (the turn goes on into it).
nb::object read_ahead(nb::handle ws) {
    static const Interned create_task("create_task"), add_done_callback("add_done_callback"),
        cancelled("cancelled"), exception("exception");
    nb::object loop = bridge::asyncio().attr("get_running_loop")();
    nb::object task = call_method(loop, create_task, call_method(ws, names::receive_text));
    nb::object noticing = nb::cpp_function([client = nb::borrow(ws)](nb::handle read) {
        if (!common::truth(call_method(read, cancelled)) &&
            !call_method(read, exception).is_none())
            connection_gone(client);
    });
    call_method(task, add_done_callback, noticing);
    return task;
}

/// Whether `error` ends the connection as the client's own leaving:
/// WebSocketDisconnect, and, once a writer of ours found the client gone
/// first, Starlette's WebSocketDisconnected.
bool client_left(const nb::python_error &error, bool delivers) {
    if (error.matches(web_socket_disconnect.get()))
        return true;
    if (!delivers)
        return false;
    static const Interned starlette_websockets("starlette.websockets"),
        disconnected("WebSocketDisconnected");
    nb::object type = common::attr_or(common::import_module(starlette_websockets), disconnected,
                                      Py_None);
    return !type.is_none() && error.matches(type);
}

} // namespace

// The receive loop's awaits are taken as outcomes: a client's disconnect
// ends the loop without a C++ exception.
Coro<void> websocket_endpoint(nb::object self, nb::object ws) {
    const WebSocketEndpoint &endpoint = nb::cast<WebSocketEndpoint &>(self);
    bridge::Local<> origin;
    if (!origin_allowed(ws, endpoint.allowed_origins, origin)) {
        // Refused before the handshake is accepted: the client sees HTTP 403.
        logger.warning(texts::LOG_REJECTED_ORIGIN, origin);
        co_await ws.attr("close")(nb::arg("code") = 1008);
        co_return;
    }
    if (!endpoint.token.is_none() && !carries_token(ws, endpoint.token)) {
        logger.warning(texts::LOG_REJECTED_TOKEN);
        co_await ws.attr("close")(nb::arg("code") = 1008);
        co_return;
    }
    // Read before the first await: the endpoint object may be changed meanwhile.
    const DeliveryOptions delivery = endpoint.delivery;
    const bool close_codes = endpoint.close_codes;
    const bool errors_as_events = endpoint.errors_as_events;
    const std::size_t max_message_size = endpoint.max_message_size;

    bridge::Local<> loads = common::attr(json_module.get(), loads_name);

    // `await manager.connect(ws)`
    {
        bridge::Local<> manager = module_attr(names::manager);
        if (ConnectionManager *registry = own(manager)) {
            co_await bridge::propagating(accepting(ws, endpoint));
            register_connection(*registry, ws);
        } else {
            nb::object connecting = call_method(manager, connect_name, ws);
            manager.reset();
            co_await bridge::propagating(std::move(connecting));
        }
    }
    std::optional<nb::python_error> failure;
    std::optional<FatalClose> fatal;
    const bool delivers = delivery.delivers();
    bridge::Local<> next_read;  // under delivery: the read of the next frame, under way
    try {
        if (delivers)
            start_delivery(ws, delivery);
        for (;;) {
            bridge::Local<> message;
            {
                nb::object reading = next_read.is_valid() ? nb::object(std::move(next_read))
                                     : delivers         ? read_ahead(ws)
                                                        : call_method(ws, names::receive_text);
                next_read = nb::object();
                bridge::Outcome text = co_await bridge::outcome(std::move(reading));
                if (!text) {
                    failure.emplace(text.take_error());
                    break;
                }
                Py_ssize_t size = PyUnicode_Check(text.value().ptr())
                                      ? common::str_length(text.value().ptr())
                                      : 0;
                if (max_message_size && size > static_cast<Py_ssize_t>(max_message_size)) {
                    failure.emplace(oversize_error(size, max_message_size));
                    fatal = FatalClose{1009, texts::CLOSE_TOO_BIG};
                    break;
                }
                PyObject *decoded = common::call_one_arg(loads.ptr(), text.value().ptr());
                if (!decoded && close_codes) {
                    failure.emplace();
                    if (common::is_exception(*failure))
                        fatal = FatalClose{1007, texts::CLOSE_NOT_A_COMMAND};
                    break;
                }
                message = common::checked(decoded);
            }
            if (close_codes && !PyDict_Check(message.ptr())) {
                PyErr_Format(PyExc_TypeError, "message must be dict, not %s",
                             common::type_name_of(message.ptr()));
                failure.emplace();
                fatal = FatalClose{1007, texts::CLOSE_NOT_A_COMMAND};
                break;
            }
            if (delivers)
                next_read = read_ahead(ws);
            bridge::Outcome handled =
                co_await bridge::outcome(command_awaitable(ws, std::move(message)));
            if (!handled) {
                failure.emplace(handled.take_error());
                if (errors_as_events && common::is_exception(*failure) &&
                    !client_left(*failure, delivers)) {
                    // The command failed, not the connection: the client is
                    // told, and the loop goes on.
                    logger.exception(texts::LOG_COMMAND_FAILED, failure->value());
                    bridge::Local<nb::dict> answer =
                        error_event(common::exception_message(failure->value()));
                    failure.reset();
                    bridge::Outcome told = co_await bridge::outcome(send_json(ws, answer));
                    if (told)
                        continue;
                    failure.emplace(told.take_error());
                    break;
                }
                if (close_codes && common::is_exception(*failure))
                    fatal = FatalClose{1011, texts::CLOSE_INTERNAL_ERROR};
                break;
            }
        }
    } catch (...) {
        failure.emplace(bridge::as_python_error(std::current_exception()));
        if (close_codes && common::is_exception(*failure))
            fatal = FatalClose{1011, texts::CLOSE_INTERNAL_ERROR};
    }
    if (next_read.is_valid() && !common::truth(call_method(next_read, done_name)))
        call_method(next_read, cancel_name);
    stop_delivery(ws);
    if (client_left(*failure, delivers)) {
        disconnect(ws);
        co_return;
    }
    if (!common::is_exception(*failure))
        co_await bridge::raise(std::move(*failure));
    logger.exception(texts::LOG_WEBSOCKET_ERROR, failure->value());
    if (fatal) {
        // The client learns why; a socket that cannot take the close any
        // more is gone anyway.
        nb::object closing = common::attr(ws, close_name)(nb::arg("code") = fatal->code,
                                                          nb::arg("reason") = fatal->reason);
        co_await bridge::outcome(std::move(closing));
    }
    disconnect(ws);
}

/// `endpoint(ws)` or `endpoint(ws=ws)`, as FastAPI calls it, makes the
/// coroutine without looking up and dispatching `__call__`; any other call
/// goes to `__call__`, for its checks and messages.
static PyObject *call_endpoint(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    static const Interned ws_name("ws"), call_name("__call__");
    Py_ssize_t keywords = kwargs ? common::dict_size(kwargs) : 0;
    PyObject *ws = nullptr;
    if (common::tuple_size(args) == 1 && keywords == 0)
        ws = common::tuple_item(args, 0);
    else if (common::tuple_size(args) == 0 && keywords == 1 &&
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

namespace {

/// A count given to `create_ws_router`: None (0, off) or a positive int.
std::size_t positive_count(nb::handle value, const char *name) {
    if (value.is_none())
        return 0;
    if (PyBool_Check(value.ptr()) || !PyLong_Check(value.ptr()))
        common::raise_error(PyExc_TypeError, "%s must be int or None, not %s", name,
                            common::type_name_of(value.ptr()));
    long long count = PyLong_AsLongLong(value.ptr());
    if (count == -1 && PyErr_Occurred())
        PyErr_Clear();
    else if (count > 0)
        return static_cast<std::size_t>(count);
    common::raise_error(PyExc_ValueError, "%s must be a positive int, not %R", name, value.ptr());
}

} // namespace

nb::object create_ws_router(nb::object allowed_origins, nb::object queue_size, nb::object token,
                            nb::object replay, nb::object close_codes,
                            nb::object max_message_size, nb::object errors_as_events) {
    WebSocketEndpoint options;
    options.allowed_origins = allowed_origin_set(allowed_origins);
    options.delivery.queue_size = positive_count(queue_size, "queue_size");
    options.delivery.replay = positive_count(replay, "replay");
    options.max_message_size = positive_count(max_message_size, "max_message_size");
    options.close_codes = common::truth(close_codes);
    options.errors_as_events = common::truth(errors_as_events);
    if (!token.is_none()) {
        if (!PyUnicode_CheckExact(token.ptr()))
            common::raise_error(PyExc_TypeError, "token must be str or None, not %s",
                                common::type_name_of(token.ptr()));
        if (common::str_length(token.ptr()) == 0)
            common::raise_error(PyExc_ValueError, "token must not be empty");
        options.token = token;
    }
    nb::object router = nb::module_::import_("fastapi").attr("APIRouter")();
    nb::object endpoint = nb::cast(std::move(options));
    describe_endpoint(endpoint);
    router.attr("websocket")("/ws")(endpoint);
    return router;
}

} // namespace ombrel::gateway
