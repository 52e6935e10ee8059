// Per-client delivery, for routers made with `queue_size` or `replay`: each
// connection gets a bounded queue of outgoing events and one writer task, so
// that a turn or a broadcast enqueues and never waits on a socket; with
// `replay`, each connection belongs to a session whose events are numbered
// and whose last ones are kept, so that a client that reconnects gets exactly
// what it missed.
#pragma once

#include "gateway/ws/gateway.h"

#include <cstddef>
#include <deque>
#include <utility>

namespace ombrel::gateway {

/// What a router asked for beyond the plain protocol (0 and empty: off).
struct DeliveryOptions {
    std::size_t queue_size = 0;  ///< events a client's queue holds
    std::size_t replay = 0;      ///< events a session keeps
    bool delivers() const { return queue_size || replay; }
};

/// One session's numbered events: the last `limit` kept for a reconnect.
struct Session {
    nb::str id;
    long long seq = 0;
    std::size_t limit = 0;
    std::deque<std::pair<long long, nb::object>> kept;  ///< (seq, JSON text)
    std::size_t kept_chars = 0;
    /// The `Client` it is attached to, or None while no connection has it.
    nb::object client = nb::none();

    /// Numbers the event whose JSON text (an object) is `text` and keeps it:
    /// the text with "seq" added.
    nb::object stamp(nb::handle text);

    int traverse(visitproc visit, void *arg) const;
    void clear();
};

/// One connection's outgoing events and their writer.
struct Client {
    nb::object ws;
    nb::object session = nb::none();  ///< its `Session`, or None without replay
    /// JSON texts, oldest first, each marked live (bounded by max_events)
    /// or replayed.
    std::deque<std::pair<nb::object, bool>> queue;
    std::size_t live_queued = 0;
    std::size_t queued_chars = 0;
    std::size_t max_events = 0;
    nb::object writer = nb::none();   ///< the writer's task
    nb::object wake = nb::none();     ///< the future the idle writer waits on
    bool closed = false;

    int traverse(visitproc visit, void *arg) const;
    void clear();
};

/// The clients and sessions of the module's routers; one object, kept as
/// the module's `_deliveries`.
struct Deliveries {
    nb::dict clients;    ///< ws -> Client
    nb::dict sessions;   ///< id -> Session
    nb::list detached;   ///< ids of sessions without a client, oldest first
    nb::dict approvals;  ///< approval_id -> its pending "tool_approval_needed" event

    int traverse(visitproc visit, void *arg) const;
    void clear();
};

/// The module's deliveries, or null before any router delivers.
Deliveries *deliveries();

/// Starts delivering to `ws` (accepted and registered): its queue and writer
/// and, with replay, its session, from the handshake's "session" and
/// "last_seq" query parameters. The first events (the "session" event,
/// what a resumed session missed, the approvals still pending) are queued.
void start_delivery(nb::handle ws, const DeliveryOptions &options);
/// Stops delivering to `ws`: its writer ends, its session waits detached.
void stop_delivery(nb::handle ws);
/// `ws` is gone while a command of its still runs: its writer ends and its
/// session waits for a connection that takes it over (the command's events
/// go there); it is forgotten once its receive loop ends.
void connection_gone(nb::handle ws);

/// `ws.send_json(event)`, or, when `ws` has a client, its event queued:
/// an awaitable either way (done at once, or, when the queue is half full,
/// after one turn of the loop, in which the writer sends).
nb::object deliver(nb::handle ws, nb::handle event);

/// What a broadcast does under delivery: `event` queued for each client
/// and kept by each detached session; the approvals it starts or ends
/// noted. Returns the registered connections that have no client (the
/// broadcast sends to those itself).
nb::list broadcast_to_clients(nb::handle recipients, nb::handle event);

/// An "approve" command answered: its approval is no longer pending.
void approval_answered(nb::handle approval_id);

/// Closes `ws`, a client too slow to take its events, in a task of its own
/// (a close waits for the client as a send does).
void close_too_slow(nb::handle ws);

} // namespace ombrel::gateway
