// The registry of open connections.
#pragma once

#include "common.h"

namespace ombrel::gateway {

/// The accepted connections, in the order they connected. The list is the
/// live Python list that `_connections` shows.
struct ConnectionManager {
    nb::list connections;
};

/// Accepts the handshake and registers `ws`.
Coro<void> connect(nb::object self, nb::object ws);
/// Unregisters `ws` (first occurrence) when it is registered; logs either way.
void disconnect(ConnectionManager &self, nb::handle ws);
/// Sends `message` to every registered connection, one after another, and
/// unregisters those whose send failed.
Coro<void> broadcast(nb::object self, nb::object message);

/// Garbage-collector support: the registry holds sockets.
int connection_manager_traverse(PyObject *self, visitproc visit, void *arg);
int connection_manager_clear(PyObject *self);

} // namespace ombrel::gateway
