#include "gateway/ws/connection_manager.h"

#include "gateway/ws/delivery.h"
#include "gateway/ws/texts.h"

#include <optional>

namespace ombrel::gateway {

static ConnectionManager &manager_of(nb::handle self) {
    return nb::cast<ConnectionManager &>(self);
}

/// The registry list as `self._connections` reads it now, owned for as long
/// as it is used: a comparison run by `in` or `remove` may replace the
/// attribute, and the list it is walking must stay alive meanwhile.
static nb::list registry(ConnectionManager &manager) { return manager.connections; }

/// `if ws in self._connections: self._connections.remove(ws)`
static void unregister(ConnectionManager &manager, nb::handle ws) {
    int registered = PySequence_Contains(registry(manager).ptr(), ws.ptr());
    if (registered < 0)
        throw nb::python_error();
    static const Interned remove("remove");
    if (registered)
        call_method(registry(manager), remove, ws);
}

Coro<void> connect(nb::object self, nb::object ws) {
    static const Interned accept("accept");
    co_await bridge::propagating(call_method(ws, accept));
    register_connection(manager_of(self), ws);
}

void register_connection(ConnectionManager &self, nb::handle ws) {
    nb::list connections = registry(self);
    connections.append(ws);
    logger.info(texts::LOG_CLIENT_CONNECTED, nb::len(connections));
}

void disconnect(ConnectionManager &self, nb::handle ws) {
    unregister(self, ws);
    logger.info(texts::LOG_CLIENT_DISCONNECTED, nb::len(registry(self)));
}

/// `BROADCAST_SEND_TIMEOUT` as read now: seconds, or None for no limit.
static std::optional<double> send_time_limit() {
    nb::object limit = module_attr(names::BROADCAST_SEND_TIMEOUT);
    if (limit.is_none())
        return std::nullopt;
    return common::expect_seconds(limit, "BROADCAST_SEND_TIMEOUT");
}

/// Closes the clients whose broadcast send overran its time limit.
static void close_all_too_slow(nb::handle slow) {
    if (nb::len(slow) == 0)
        return;
    for (nb::handle ws : slow)
        close_too_slow(ws);
    logger.warning(texts::LOG_CLOSED_TOO_SLOW, nb::len(slow));
}

Coro<void> broadcast(nb::object self, nb::object message) {
    common::expect_dict(message, "message");
    // Every connection registered now gets the message once, even when the
    // registry changes while a send is waiting (a client that connects or
    // disconnects meanwhile must not make the loop skip another one).
    bridge::Local<nb::list> recipients =
        nb::steal<nb::list>(PySequence_List(registry(manager_of(self)).ptr()));
    if (!recipients.is_valid())
        throw nb::python_error();

    bridge::Local<nb::list> dead = nb::list(), slow = nb::list();
    // A client that stops reading must not hold up the others: a send that
    // does not complete in time fails like a broken one, and the client is
    // closed so that it knows (and can come back).
    std::optional<double> limit = send_time_limit();
    // Clients with a queue of their own get the message queued, without
    // waiting; the others are sent to here, one after another.
    recipients = broadcast_to_clients(recipients, message);
    for (nb::handle ws : recipients) {
        std::optional<nb::python_error> failure;
        try {
            co_await bridge::wait_within(send_json(ws, message), limit);
        } catch (...) {
            failure.emplace(bridge::as_python_error(std::current_exception()));
        }
        if (failure) {
            if (!common::is_exception(*failure))
                throw std::move(*failure);
            dead.append(ws);
            if (limit && failure->matches(bridge::timeout_error()))
                slow.append(ws);
        }
    }
    // A dead connection's own receive loop may have unregistered it by now.
    for (nb::handle ws : dead)
        unregister(manager_of(self), ws);
    close_all_too_slow(slow);
}

} // namespace ombrel::gateway
