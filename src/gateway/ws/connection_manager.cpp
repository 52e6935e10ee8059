#include "connection_manager.h"

#include "texts.h"

#include <optional>

namespace ombrel::gateway {

static ConnectionManager &manager_of(nb::handle self) {
    return nb::cast<ConnectionManager &>(self);
}

Coro<void> connect(nb::object self, nb::object ws) {
    co_await ws.attr("accept")();
    nb::list &connections = manager_of(self).connections;
    connections.append(ws);
    logger.info(texts::LOG_CLIENT_CONNECTED, nb::len(connections));
}

void disconnect(ConnectionManager &self, nb::handle ws) {
    nb::list &connections = self.connections;
    int registered = PySequence_Contains(connections.ptr(), ws.ptr());
    if (registered < 0)
        throw nb::python_error();
    if (registered)
        connections.attr("remove")(ws);
    logger.info(texts::LOG_CLIENT_DISCONNECTED, nb::len(connections));
}

Coro<void> broadcast(nb::object self, nb::object message) {
    bridge::expect_dict(message, "message");
    // Every connection registered now gets the message once, even when the
    // registry changes while a send is waiting (a client that connects or
    // disconnects meanwhile must not make the loop skip another one).
    nb::list recipients = nb::steal<nb::list>(PySequence_List(manager_of(self).connections.ptr()));
    if (!recipients.is_valid())
        throw nb::python_error();
    nb::list dead;
    for (nb::handle ws : recipients) {
        std::optional<nb::python_error> failure;
        try {
            co_await send_json(ws, message);
        } catch (...) {
            failure.emplace(current_error());
        }
        if (failure) {
            if (!is_exception(*failure))
                throw std::move(*failure);
            dead.append(ws);
        }
    }
    // A dead connection's own receive loop may have unregistered it by now.
    nb::list &connections = manager_of(self).connections;
    for (nb::handle ws : dead) {
        int registered = PySequence_Contains(connections.ptr(), ws.ptr());
        if (registered < 0)
            throw nb::python_error();
        if (registered)
            connections.attr("remove")(ws);
    }
}

int connection_manager_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    ConnectionManager *manager = nb::inst_ptr<ConnectionManager>(self);
    Py_VISIT(manager->connections.ptr());
    return 0;
}

int connection_manager_clear(PyObject *self) {
    if (nb::inst_ready(self)) {
        ConnectionManager *manager = nb::inst_ptr<ConnectionManager>(self);
        nb::list emptied;
        std::swap(manager->connections, emptied);
    }
    return 0;
}

} // namespace ombrel::gateway
