// The registry of open connections.
#pragma once

#include "gateway/ws/gateway.h"

#include <utility>

namespace ombrel::gateway {

/// The accepted connections, in the order they connected. The list is the
/// live Python list that `_connections` shows.
struct ConnectionManager {
    nb::list connections;

    /// Garbage-collector support: the registry holds sockets.
    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(connections.ptr());
        return 0;
    }
    void clear() {
        nb::list emptied;
        std::swap(connections, emptied);
    }
};

/// Accepts the handshake and registers `ws`.
Coro<void> connect(nb::object self, nb::object ws);
/// What `connect` does once the handshake is accepted: registers `ws`.
void register_connection(ConnectionManager &self, nb::handle ws);
/// Unregisters `ws` (first occurrence) when it is registered; logs either way.
void disconnect(ConnectionManager &self, nb::handle ws);
/// The class `ConnectionManager` as the module defined it: while it holds
/// the module's `manager`, the endpoint runs its methods directly.
inline constinit common::UnchangedType own_manager_type;

/// Sends `message` to every registered connection, one after another, and
/// unregisters those whose send failed; those whose send did not complete
/// within `BROADCAST_SEND_TIMEOUT` are closed as well, so that they know.
Coro<void> broadcast(nb::object self, nb::object message);

} // namespace ombrel::gateway
