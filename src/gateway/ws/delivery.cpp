#include "gateway/ws/delivery.h"

#include "gateway/ws/texts.h"

#include <algorithm>
#include <string>

namespace ombrel::gateway {

namespace {

const Interned deliveries_name("_deliveries"), send_text("send_text"), close_name("close"),
    create_task("create_task"), add_done_callback("add_done_callback"), done("done"),
    set_result("set_result"), create_future("create_future"), query_params("query_params"),
    approval_id("approval_id"), resent("resent"), session_key("session"),
    last_seq_key("last_seq"), dumps("dumps"), separators("separators"),
    ensure_ascii("ensure_ascii");
constinit common::ImportedName json_module("json"), token_urlsafe("secrets", "token_urlsafe");

/// Characters a client's queue may hold in all, whatever its number of
/// events: a bound on its memory.
constexpr std::size_t max_queued_chars = 16u << 20;
/// Sessions kept without a connection, for a client that comes back.
constexpr std::size_t max_detached_sessions = 64;
/// Approvals remembered as pending.
constexpr std::size_t max_pending_approvals = 256;

/// Clients alive: none, and every send goes to `ws.send_json` directly.
std::size_t live_clients = 0;

Client &client_of(nb::handle object) { return nb::cast<Client &>(object); }
Session &session_of(nb::handle object) { return nb::cast<Session &>(object); }

/// The JSON text of an event, as `ws.send_json` makes it.
nb::object json_text(nb::handle event) {
    static PyObject *keywords = nullptr;
    if (!keywords)
        keywords = nb::make_tuple(separators.get(), ensure_ascii.get()).release().ptr();
    nb::object compact = nb::make_tuple(",", ":");
    nb::object function = common::attr(json_module.get(), dumps);
    PyObject *args[] = {event.ptr(), compact.ptr(), Py_False};
    return common::checked(PyObject_Vectorcall(function.ptr(), args, 1, keywords));
}

nb::dict event_copy(nb::handle event) {
    return nb::steal<nb::dict>(common::checked(PyDict_Copy(event.ptr())).release());
}

/// Wakes the client's writer if it waits for an event.
void wake_writer(Client &client) {
    nb::object wake = std::move(client.wake);
    client.wake = nb::none();
    if (!wake.is_none() && !common::truth(call_method(wake, done)))
        call_method(wake, set_result, Py_None);
}

/// Closes the client's queue: nothing more is queued, what was waits no
/// more, and its writer wakes to end.
void close_queue(Client &client) {
    client.closed = true;
    client.queue.clear();
    client.live_queued = client.queued_chars = 0;
    wake_writer(client);
}

/// Queues a text for the client. `bounded`: a live event, which finds the
/// client too slow when its queue is full (what a reconnect replays is
/// bounded by the session already).
void enqueue(nb::handle client_object, nb::object text, bool bounded) {
    Client &client = client_of(client_object);
    if (client.closed)
        return;
    std::size_t chars = static_cast<std::size_t>(common::str_length(text.ptr()));
    if (bounded && (client.live_queued >= client.max_events ||
                    (!client.queue.empty() && client.queued_chars + chars > max_queued_chars))) {
        logger.warning(texts::LOG_CLOSED_TOO_SLOW_QUEUE, client.live_queued);
        close_queue(client);
        close_too_slow(client.ws);
        return;
    }
    client.queue.emplace_back(std::move(text), bounded);
    client.live_queued += bounded;
    client.queued_chars += chars;
    wake_writer(client);
}

/// A live event for the client: numbered by its session, if it has one.
/// A live event for the client. With a session, the session numbers and
/// keeps it, and it goes to whichever connection holds the session now
/// (a turn that began on a connection that has gone on goes on into the
/// connection that took its session over), or to none while none does.
void emit(nb::handle client_object, nb::handle text) {
    Client &client = client_of(client_object);
    if (client.session.is_none()) {
        enqueue(client_object, nb::borrow(text), true);
        return;
    }
    Session &session = session_of(client.session);
    nb::object stamped = session.stamp(text);
    if (!session.client.is_none())
        enqueue(session.client, std::move(stamped), true);
}

/// The client's session waits for a connection that takes it over, among a
/// bounded number.
void detach_session(Deliveries &store, nb::handle client_object) {
    Client &client = client_of(client_object);
    if (client.session.is_none())
        return;
    Session &session = session_of(client.session);
    if (!session.client.is(client_object))
        return;
    session.client = nb::none();
    store.detached.append(session.id);
    while (nb::len(store.detached) > max_detached_sessions) {
        nb::object oldest = store.detached[0];
        PyList_SetSlice(store.detached.ptr(), 0, 1, nullptr);
        PyDict_DelItem(store.sessions.ptr(), oldest.ptr());
    }
}

/// The writer of one client: sends its queue in order, one send at a time;
/// ends when the client is closed or a send fails (the connection's own
/// receive loop then ends too).
Coro<void> write_queue(nb::object client_object) {
    bridge::Local<> ws = client_of(client_object).ws;
    bridge::Local<> loop = bridge::asyncio().attr("get_running_loop")();
    for (;;) {
        Client &client = client_of(client_object);
        if (client.closed)
            co_return;
        if (client.queue.empty()) {
            client.wake = call_method(loop, create_future);
            bridge::Outcome woken = co_await bridge::outcome(client.wake);
            if (!woken)
                co_return;  // cancelled
            continue;
        }
        bridge::Local<> text = std::move(client.queue.front().first);
        client.live_queued -= client.queue.front().second;
        client.queue.pop_front();
        client.queued_chars -= static_cast<std::size_t>(common::str_length(text.ptr()));
        bridge::Outcome sent = co_await bridge::outcome(call_method(ws, send_text, text));
        if (!sent) {
            nb::python_error error = sent.take_error();
            if (!common::is_exception(error))
                co_await bridge::raise(std::move(error));
            // The connection has gone: its session waits for the page to come
            // back, even while a command of the old connection still runs.
            client_of(client_object).closed = true;
            if (Deliveries *store = deliveries())
                detach_session(*store, client_object);
            co_return;
        }
    }
}

/// An awaitable that is done at once: what `deliver` gives for a queued
/// event.
Coro<void> queued() { co_return; }

/// A fresh session id: 128 random bits, URL-safe.
nb::str new_session_id() { return nb::str(token_urlsafe.get()(16)); }

/// `last_seq` as the client sent it: a decimal integer, else nothing.
std::optional<long long> parse_seq(nb::handle text) {
    if (text.is_none() || !PyUnicode_Check(text.ptr()))
        return std::nullopt;
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!utf8)
        throw nb::python_error();
    std::string digits(utf8, static_cast<std::size_t>(size));
    if (digits.empty() || digits.size() > 18 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return std::stoll(digits);
}

void forget_detached(Deliveries &store, nb::handle id) {
    static const Interned remove("remove");
    if (common::contains(store.detached, id))
        call_method(store.detached, remove, id);
}

/// `mapping[key]` of a dict, or None.
nb::object lookup(nb::handle mapping, nb::handle key) {
    PyObject *found = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
    if (!found && PyErr_Occurred())
        throw nb::python_error();
    return nb::borrow(found ? found : Py_None);
}

/// The session a new connection belongs to: the one it names, when that one
/// is waiting for it and `last_seq` is one it handed out; else a new one.
/// `last_seq` gets the seq the client has seen (0 for a new session).
/// Returns the session and whether it resumed; `refused` says why a session
/// that was named could not be resumed.
std::pair<nb::object, bool> attach_session(Deliveries &store, nb::handle ws,
                                           nb::handle client_object, std::size_t limit,
                                           long long &last_seq, const char *&refused) {
    static const Interned get_name("get");
    nb::object params = common::attr(ws, query_params);
    nb::object id = call_method(params, get_name, session_key.get());
    std::optional<long long> seen = parse_seq(call_method(params, get_name, last_seq_key.get()));
    nb::object found = id.is_none() ? nb::none() : lookup(store.sessions, id);
    refused = nullptr;
    if (!id.is_none()) {
        if (found.is_none())
            refused = "unknown session";
        else if (!session_of(found).client.is_none())
            refused = "session in use";
        else if (!seen || *seen > session_of(found).seq)
            refused = "last_seq out of range";
    }
    bool resumed = !found.is_none() && !refused;
    last_seq = resumed ? *seen : 0;
    nb::object session;
    if (resumed) {
        session = found;
        forget_detached(store, id);
    } else {
        Session fresh;
        fresh.id = new_session_id();
        fresh.limit = limit;
        session = nb::cast(std::move(fresh));
        store.sessions[session_of(session).id] = session;
    }
    session_of(session).client = nb::borrow(client_object);
    return {session, resumed};
}

} // namespace

// --- Session, Client, Deliveries ------------------------------------------

nb::object Session::stamp(nb::handle text) {
    ++seq;
    Py_ssize_t length = common::str_length(text.ptr());
    nb::object head = common::checked(PyUnicode_Substring(text.ptr(), 0, length - 1));
    nb::object stamped = common::checked(PyUnicode_FromFormat(
        length > 2 ? "%U,\"seq\":%lld}" : "%U\"seq\":%lld}", head.ptr(), seq));
    kept.emplace_back(seq, stamped);
    kept_chars += static_cast<std::size_t>(common::str_length(stamped.ptr()));
    // The last `limit` events, and no more characters than a client's queue
    // may hold (the newest event is kept whatever its size).
    while (kept.size() > limit || (kept.size() > 1 && kept_chars > max_queued_chars)) {
        kept_chars -= static_cast<std::size_t>(common::str_length(kept.front().second.ptr()));
        kept.pop_front();
    }
    return stamped;
}

int Session::traverse(visitproc visit, void *arg) const {
    Py_VISIT(client.ptr());
    return 0;
}

void Session::clear() {
    nb::object gone = std::move(client);
    client = nb::none();
}

int Client::traverse(visitproc visit, void *arg) const {
    Py_VISIT(ws.ptr());
    Py_VISIT(session.ptr());
    Py_VISIT(writer.ptr());
    Py_VISIT(wake.ptr());
    return 0;
}

void Client::clear() {
    nb::object a = std::move(ws), b = std::move(session), c = std::move(writer),
               d = std::move(wake);
    session = writer = wake = nb::none();
    decltype(queue) texts;
    texts.swap(queue);
    live_queued = queued_chars = 0;
}

int Deliveries::traverse(visitproc visit, void *arg) const {
    Py_VISIT(clients.ptr());
    Py_VISIT(sessions.ptr());
    Py_VISIT(approvals.ptr());
    return 0;
}

void Deliveries::clear() {
    nb::dict a, b, c;
    std::swap(clients, a);
    std::swap(sessions, b);
    std::swap(approvals, c);
}

Deliveries *deliveries() {
    nb::object store = common::attr_or(common::import_module(names::module), deliveries_name,
                                       Py_None);
    if (store.is_none())
        return nullptr;
    return &nb::cast<Deliveries &>(store);
}

// --- Connections -------------------------------------------------------------

void start_delivery(nb::handle ws, const DeliveryOptions &options) {
    Deliveries *found = deliveries();
    if (!found)
        common::raise_error(PyExc_RuntimeError, "the module's _deliveries is gone");
    Deliveries &store = *found;
    Client fresh;
    fresh.ws = nb::borrow(ws);
    nb::object client_object = nb::cast(std::move(fresh));
    Client &client = client_of(client_object);
    // Without a queue size of its own, a replaying client's queue holds what
    // its session keeps.
    client.max_events = options.queue_size ? options.queue_size : options.replay;
    store.clients[ws] = client_object;
    ++live_clients;

    if (options.replay) {
        long long last_seq = 0;
        const char *refused = nullptr;
        auto [session, resumed] =
            attach_session(store, ws, client_object, options.replay, last_seq, refused);
        client.session = session;
        Session &state = session_of(session);
        nb::dict greeting = event({{"type", nb::str("session")},
                                   {"session", state.id},
                                   {"resumed", nb::bool_(resumed)}});
        if (refused)
            greeting["refused"] = refused;
        if (resumed) {
            long long first_kept = state.kept.empty() ? state.seq + 1 : state.kept.front().first;
            greeting["lost"] = std::max(0LL, first_kept - (last_seq + 1));
        }
        enqueue(client_object, json_text(greeting), false);
        if (resumed)
            for (const auto &[seq, text] : state.kept)
                if (seq > last_seq)
                    enqueue(client_object, text, false);
        for (nb::handle pending : store.approvals.values()) {
            nb::dict again = event_copy(pending);
            again[resent.get()] = nb::bool_(true);
            enqueue(client_object, state.stamp(json_text(again)), false);
        }
    }
    nb::object loop = bridge::asyncio().attr("get_running_loop")();
    client.writer = call_method(loop, create_task,
                                write_queue(client_object).named("websocket_writer").to_python());
}

void stop_delivery(nb::handle ws) {
    if (live_clients == 0)
        return;  // the connections of plain routers: nothing to stop
    Deliveries *store = deliveries();
    if (!store)
        return;
    nb::object client_object = lookup(store->clients, ws);
    if (client_object.is_none())
        return;
    if (PyDict_DelItem(store->clients.ptr(), ws.ptr()) < 0)
        throw nb::python_error();
    --live_clients;
    Client &client = client_of(client_object);
    close_queue(client);
    detach_session(*store, client_object);
    client.session = nb::none();
}

void connection_gone(nb::handle ws) {
    Deliveries *store = deliveries();
    if (!store)
        return;
    nb::object client_object = lookup(store->clients, ws);
    if (client_object.is_none())
        return;
    Client &client = client_of(client_object);
    close_queue(client);
    detach_session(*store, client_object);
}

nb::object deliver(nb::handle ws, nb::handle event) {
    if (live_clients > 0) {
        if (Deliveries *store = deliveries()) {
            PyObject *client = PyDict_GetItemWithError(store->clients.ptr(), ws.ptr());
            if (client) {
                emit(client, json_text(event));
                // A turn that produces faster than its client's writer sends
                // lets the writer run once its queue is half full: a client
                // that keeps up is never found too slow by its own turn.
                Client &state = client_of(client);
                if (!state.closed && state.live_queued * 2 >= state.max_events)
                    return bridge::sleep(0.0);
                return queued().named("deliver").to_python();
            }
            if (PyErr_Occurred())
                throw nb::python_error();
        }
    }
    return call_method(ws, names::send_json, event);
}

nb::list broadcast_to_clients(nb::handle recipients, nb::handle event) {
    Deliveries *store = deliveries();
    nb::list others;
    if (!store) {
        for (nb::handle ws : recipients)
            others.append(ws);
        return others;
    }
    // Approvals asked for and answered, for a client that comes back.
    nb::object type = get(event, names::type, nb::none());
    nb::object approval = get(event, approval_id, nb::none());
    if (!approval.is_none()) {
        if (equal(type, names::tool_approval_needed)) {
            store->approvals[approval] = event_copy(event);
            Py_ssize_t position = 0;
            PyObject *oldest = nullptr;
            if (nb::len(store->approvals) > max_pending_approvals &&
                PyDict_Next(store->approvals.ptr(), &position, &oldest, nullptr)) {
                nb::object key = nb::borrow(oldest);
                PyDict_DelItem(store->approvals.ptr(), key.ptr());
            }
        } else if (equal(type, "approval_resolved") || equal(type, "approval_expired")) {
            approval_answered(approval);
        }
    }
    nb::object text;
    for (nb::handle ws : recipients) {
        PyObject *client = PyDict_GetItemWithError(store->clients.ptr(), ws.ptr());
        if (!client) {
            if (PyErr_Occurred())
                throw nb::python_error();
            others.append(ws);
            continue;
        }
        // A connection that has gone: its session gets the event through
        // the connection that took it over, or as a detached one.
        if (client_of(client).closed)
            continue;
        if (!text.is_valid())
            text = json_text(event);
        emit(client, text);
    }
    // Sessions whose client is away keep it for their return.
    for (nb::handle id : store->detached) {
        if (!text.is_valid())
            text = json_text(event);
        session_of(lookup(store->sessions, id)).stamp(text);
    }
    return others;
}

void approval_answered(nb::handle approval) {
    Deliveries *store = deliveries();
    if (store && PyDict_Contains(store->approvals.ptr(), approval.ptr()) == 1)
        PyDict_DelItem(store->approvals.ptr(), approval.ptr());
}

// --- Too slow ----------------------------------------------------------------

namespace {

/// `await ws.close(code, reason)` for a client too slow to take its events.
/// Whatever the close meets (the client gone meanwhile, a socket without
/// `close`) is the end of that client anyway: nothing to report.
Coro<void> close_slow_client(nb::object ws) {
    nb::object closing;
    try {
        nb::object method = common::attr(ws, close_name);
        closing = method(nb::arg("code") = texts::TOO_SLOW_CLOSE_CODE,
                         nb::arg("reason") = texts::TOO_SLOW_CLOSE_REASON);
    } catch (nb::python_error &e) {
        if (!common::is_exception(e))
            throw;
        co_return;
    }
    co_await bridge::outcome(std::move(closing));
}

/// The tasks closing slow clients, until each is done (the loop keeps only
/// weak references to tasks): the module's `_closing`.
nb::object closing_tasks() {
    static const Interned closing("_closing");
    return module_attr(closing);
}

} // namespace

void close_too_slow(nb::handle ws) {
    static const Interned add("add"), discard("discard");
    nb::object loop = bridge::asyncio().attr("get_running_loop")();
    nb::object closing = close_slow_client(nb::borrow(ws)).named("close_too_slow").to_python();
    nb::object task = call_method(loop, create_task, closing);
    nb::object tasks = closing_tasks();
    call_method(tasks, add, task);
    call_method(task, add_done_callback, common::attr(tasks, discard));
}

} // namespace ombrel::gateway
