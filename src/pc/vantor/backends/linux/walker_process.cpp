// The long-lived walker (`LINUX_WORKER`): one child process per controller
// that has loaded gi once and answers each request, a line of JSON on its
// standard input, with a line of JSON on its standard output (the walker's
// `serve` setting). Requests go one after another down the pipe; each
// answer completes the oldest request still waiting.
//
// The child is started through the loop's low-level interface with a
// protocol of our own (as `bridge::run_process` does, whose ways of ending a
// child it shares), in a session of its own, so that a kill takes whatever
// it started (xdotool) with it. A request that runs out of time, or is
// cancelled, ends the child: killed, its pipes closed, reaped (a moment at
// most); the next request starts another. So does a child that ended by
// itself.
//
// The controller holds a small record of the child (`Vantor::linux_worker`:
// its transport, protocol, loop and what it was started with). A finalizer
// of that record kills the child and closes its pipes when the record goes
// without `aclose()` (the controller collected) or at interpreter exit.
#include "pc/vantor/backends/linux/linux.h"

#include "pc/vantor/py.h"

#include <optional>

namespace ombrel::vantor {

namespace {

/// How long a killed child may take to be reaped before we stop waiting
/// for it (the loop's child watcher reaps it whenever it ends).
constexpr double REAP_SECONDS = 2.0;
/// How long a child whose standard input was closed may take to end.
constexpr double CLOSE_SECONDS = 2.0;
/// Bytes of the child's standard error kept (the last ones).
constexpr Py_ssize_t ERRORS_KEPT = 4096;

using bridge::asyncio;

// ---------------------------------------------------------------------------
// The protocol: lines of standard output complete the waiting requests'
// futures in order; the end of standard output completes the rest with None.
// Its state lives in the instance's dictionary, where the garbage collector
// sees it.

void protocol_init(nb::handle self) {
    nb::object loop = asyncio().attr("get_running_loop")();
    nb::setattr(self, "waiters", common::import_module("collections").attr("deque")());
    nb::setattr(self, "pending", nb::list());
    nb::setattr(self, "errors", nb::steal(PyByteArray_FromStringAndSize(nullptr, 0)));
    nb::setattr(self, "exited", loop.attr("create_future")());
    nb::setattr(self, "ended", nb::bool_(false));
}

/// Completes every waiting request with None: the child answers no more.
void end_waiters(nb::handle self) {
    nb::setattr(self, "ended", nb::bool_(true));
    nb::object waiters = self.attr("waiters");
    while (py::truth(waiters)) {
        nb::object waiter = waiters.attr("popleft")();
        if (!py::truth(waiter.attr("done")()))
            waiter.attr("set_result")(nb::none());
    }
}

void deliver(nb::handle self, nb::handle line) {
    nb::object waiters = self.attr("waiters");
    if (!py::truth(waiters))
        return; // nobody asked: not an answer
    nb::object waiter = waiters.attr("popleft")();
    if (!py::truth(waiter.attr("done")()))
        waiter.attr("set_result")(line);
}

void protocol_data(nb::handle self, int fd, nb::handle data) {
    if (fd == 2) {
        nb::object errors = self.attr("errors");
        errors.attr("extend")(data);
        Py_ssize_t size = nb::len(errors);
        if (size > ERRORS_KEPT)
            errors.attr("__delitem__")(
                nb::steal(PySlice_New(nullptr, nb::int_(size - ERRORS_KEPT).ptr(), nullptr)));
        return;
    }
    nb::bytes chunk = nb::borrow<nb::bytes>(data);
    nb::list pending = self.attr("pending");
    nb::bytes empty("", 0);
    while (true) {
        Py_ssize_t end = nb::cast<Py_ssize_t>(chunk.attr("find")(nb::bytes("\n", 1)));
        if (end < 0)
            break;
        pending.append(chunk[nb::slice(nb::none(), nb::int_(end), nb::none())]);
        nb::object line = empty.attr("join")(pending);
        pending.clear();
        chunk = nb::borrow<nb::bytes>(chunk[nb::slice(nb::int_(end + 1), nb::none(), nb::none())]);
        deliver(self, line);
    }
    if (chunk.size() > 0)
        pending.append(chunk);
}

void protocol_pipe_lost(nb::handle self, int fd, nb::handle) {
    if (fd == 1)
        end_waiters(self);
}

void protocol_exited(nb::handle self) {
    nb::object exited = self.attr("exited");
    if (!py::truth(exited.attr("done")()))
        exited.attr("set_result")(nb::none());
}

void protocol_lost(nb::handle self, nb::handle) { end_waiters(self); }

/// A new protocol class (`asyncio.SubprocessProtocol` with our methods);
/// the class itself is the protocol factory.
nb::object protocol_class() {
    nb::dict methods;
    methods["__init__"] = nb::cpp_function(&protocol_init, nb::is_method());
    methods["pipe_data_received"] = nb::cpp_function(&protocol_data, nb::is_method());
    methods["pipe_connection_lost"] = nb::cpp_function(&protocol_pipe_lost, nb::is_method(),
                                                       nb::arg("fd"), nb::arg("exc").none());
    methods["process_exited"] = nb::cpp_function(&protocol_exited, nb::is_method());
    methods["connection_lost"] =
        nb::cpp_function(&protocol_lost, nb::is_method(), nb::arg("exc").none());
    methods["__module__"] = nb::str("ombrel.pc.vantor");
    nb::handle type((PyObject *) &PyType_Type);
    return type("_WalkerProtocol", nb::make_tuple(asyncio().attr("SubprocessProtocol")), methods);
}

// ---------------------------------------------------------------------------
// Ending a child

/// Calls `f()`, ignoring an Exception (a pipe of a closed loop, say).
template <typename F> void quietly(F &&f) {
    try {
        f();
    } catch (nb::python_error &e) {
        if (!py::is_exception(e))
            throw;
    }
}

/// Closes our ends of the child's pipes and completes the waiting requests.
void close_pipes(nb::handle transport, nb::handle protocol) {
    for (int fd : {0, 1, 2})
        quietly([&] {
            nb::object pipe = transport.attr("get_pipe_transport")(fd);
            if (!pipe.is_none())
                pipe.attr("close")();
        });
    end_waiters(protocol);
}

/// Kills the child and its session, closes our ends of its pipes and
/// completes the waiting requests: nothing of it holds anybody up.
void kill_now(nb::handle transport, nb::handle protocol) {
    quietly([&] { bridge::kill_child(transport, protocol, true); });
    close_pipes(transport, protocol);
}

/// Closes the transport once the child has been reaped.
void close_once_reaped(nb::handle transport, nb::handle protocol) {
    quietly([&] { bridge::close_when_exited(transport, protocol); });
}

/// The finalizer of a record that went without `aclose()`: the child is
/// killed; when its loop is closed (nobody left to reap it), it is reaped
/// here, a moment at most.
void end_abandoned(nb::handle transport, nb::handle protocol, nb::handle loop) {
    kill_now(transport, protocol);
    if (!py::truth(loop.attr("is_closed")())) {
        close_once_reaped(transport, protocol);
        return;
    }
    nb::module_ os = common::import_module("os");
    nb::object pid = transport.attr("get_pid")();
    nb::object time = common::import_module("time");
    for (int i = 0; i < 100; ++i) {
        bool reaped = true;
        try {
            nb::tuple done = nb::borrow<nb::tuple>(os.attr("waitpid")(pid, os.attr("WNOHANG")));
            reaped = !py::equal(done[0], nb::int_(0));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_ChildProcessError))
                throw;
        }
        if (reaped)
            return;
        time.attr("sleep")(0.01);
    }
}

/// Ends a record's child at once (kill, close, reap later) and detaches its
/// finalizer.
void retire(nb::handle holder) {
    holder.attr("finalizer").attr("detach")();
    nb::object transport = holder.attr("transport"), protocol = holder.attr("protocol");
    kill_now(transport, protocol);
    close_once_reaped(transport, protocol);
}

// ---------------------------------------------------------------------------
// Starting a child

/// What a child was started with: the interpreter, and the environment it
/// inherited that decides what it finds (a change starts another).
nb::tuple worker_key(nb::handle python) {
    nb::object environ = common::import_module("os").attr("environ");
    nb::list key;
    key.append(python);
    for (const char *name : {"PATH", "PYTHONPATH", "DISPLAY", "DBUS_SESSION_BUS_ADDRESS",
                             "AT_SPI_BUS_ADDRESS"})
        key.append(environ.attr("get")(name));
    return nb::tuple(key);
}

/// Whether the record's child can take a request on this loop now.
bool usable(nb::handle holder, nb::handle loop, nb::handle key) {
    if (holder.is_none() || !holder.attr("loop").is(loop) || !py::equal(holder.attr("key"), key))
        return false;
    nb::object protocol = holder.attr("protocol");
    return !py::truth(protocol.attr("ended")) &&
           !py::truth(protocol.attr("exited").attr("done")());
}

/// Starts a child: its record.
Coro<> start_worker(nb::object python, nb::object key) {
    nb::module_ aio = asyncio();
    nb::object pipe = aio.attr("subprocess").attr("PIPE");
    nb::dict kwargs;
    kwargs["stdin"] = pipe;
    kwargs["stdout"] = pipe;
    kwargs["stderr"] = pipe;
    kwargs["start_new_session"] = true;
    bridge::Local<> loop = aio.attr("get_running_loop")();
    nb::object start = loop.attr("subprocess_exec")(protocol_class(), python, "-c",
                                                    walker_serving_script(), **kwargs);
    // The start runs shielded: whatever ends our wait meanwhile leaves a
    // callback that kills the child as soon as it exists.
    bridge::Local<> starting = aio.attr("ensure_future")(start);
    start.reset();
    bridge::Outcome started = co_await bridge::outcome(aio.attr("shield")(starting));
    if (!started) {
        nb::python_error error = started.take_error();
        bool own_failure = py::truth(starting.attr("done")()) &&
                           !py::truth(starting.attr("cancelled")()) &&
                           starting.attr("exception")().is(error.value());
        if (!own_failure)
            starting.attr("add_done_callback")(bridge::kill_when_started(true));
        co_await bridge::raise(std::move(error));
    }
    nb::object pair = started.value();
    // The record: a plain object of a class of its own (a finalizer needs
    // a weak reference to it).
    nb::handle type((PyObject *) &PyType_Type);
    nb::dict fields;
    fields["__module__"] = nb::str("ombrel.pc.vantor");
    nb::object holder = type("_WalkerRecord", nb::make_tuple(), fields)();
    holder.attr("transport") = pair[0];
    holder.attr("protocol") = pair[1];
    holder.attr("loop") = loop;
    holder.attr("key") = key;
    holder.attr("finalizer") = common::import_module("weakref").attr("finalize")(
        holder, nb::cpp_function(&end_abandoned), pair[0], pair[1], loop);
    co_return holder;
}

/// The controller's child that can take a request now, started when needed.
Coro<> current_worker(nb::object self) {
    bridge::Local<> python = linux_python();
    bridge::Local<> key = worker_key(python);
    bridge::Local<> loop = asyncio().attr("get_running_loop")();
    if (usable(state(self).linux_worker, loop, key))
        co_return state(self).linux_worker;
    if (!state(self).linux_worker.is_none()) {
        bridge::Local<> old = state(self).linux_worker;
        state(self).linux_worker = nb::none();
        retire(old);
    }
    bridge::Local<> holder = co_await start_worker(python, key);
    // Another request may have started one meanwhile: the first one stays.
    if (usable(state(self).linux_worker, loop, key)) {
        retire(holder);
        co_return state(self).linux_worker;
    }
    if (!state(self).linux_worker.is_none())
        retire(state(self).linux_worker);
    state(self).linux_worker = holder;
    co_return holder;
}

/// Forgets the record if the controller still holds it.
void forget(Vantor &controller, nb::handle holder) {
    if (controller.linux_worker.is(holder))
        controller.linux_worker = nb::none();
}

/// Why a child ended: the last line of its standard error, else its status.
nb::bytes why_ended(nb::handle holder) {
    nb::object protocol = holder.attr("protocol");
    nb::str errors = decoded(nb::bytes(protocol.attr("errors")));
    nb::object lines = errors.attr("splitlines")();
    nb::object text;
    if (py::truth(lines)) {
        text = py::item(lines, nb::int_(-1));
    } else {
        nb::object status = holder.attr("transport").attr("get_returncode")();
        text = status.is_none()
                   ? nb::object(nb::str("the walker process ended"))
                   : py::checked(PyUnicode_FromFormat("the walker process ended (status %S)",
                                                      status.ptr()));
    }
    return nb::bytes(text.attr("encode")("utf-8", "replace"));
}

} // namespace

Coro<nb::tuple> ask_walker_process(nb::object self, nb::object request, double seconds) {
    bridge::Local<> holder = co_await current_worker(self);
    bridge::Local<> protocol = holder.attr("protocol");
    bridge::Local<> transport = holder.attr("transport");
    bridge::Local<> future = holder.attr("loop").attr("create_future")();
    protocol.attr("waiters").attr("append")(future);
    nb::setattr(protocol, "errors", nb::steal(PyByteArray_FromStringAndSize(nullptr, 0)));
    transport.attr("get_pipe_transport")(0).attr("write")(request);

    bridge::Outcome answered =
        co_await bridge::outcome(bridge::wait_for(asyncio().attr("shield")(future), seconds));
    if (!answered) {
        // Time-out, cancellation or anything thrown in: the child may be
        // stuck in the application; it is ended, the next request starts
        // another.
        nb::python_error error = answered.take_error();
        forget(state(self), holder);
        holder.attr("finalizer").attr("detach")();
        kill_now(transport, protocol);
        if (!error.matches(PyExc_GeneratorExit)) {
            bridge::Outcome reaped = co_await bridge::outcome(
                bridge::wait_for(asyncio().attr("shield")(protocol.attr("exited")), REAP_SECONDS));
            if (!reaped && reaped.failed_with(PyExc_GeneratorExit)) {
                close_once_reaped(transport, protocol);
                co_await bridge::raise(reaped.take_error());
            }
        }
        close_once_reaped(transport, protocol);
        co_await bridge::raise(std::move(error));
    }
    nb::object line = answered.value();
    if (line.is_none()) {
        // It ended by itself (a crash, a kill from outside).
        forget(state(self), holder);
        holder.attr("finalizer").attr("detach")();
        nb::bytes why = why_ended(holder);
        kill_now(transport, protocol);
        close_once_reaped(transport, protocol);
        co_return nb::make_tuple(nb::bytes("", 0), why);
    }
    co_return nb::make_tuple(line, nb::bytes("", 0));
}

Coro<> close_walker_process(nb::object self) {
    bridge::Local<> holder = state(self).linux_worker;
    if (holder.is_none())
        co_return nb::none();
    state(self).linux_worker = nb::none();
    holder.attr("finalizer").attr("detach")();
    bridge::Local<> transport = holder.attr("transport");
    bridge::Local<> protocol = holder.attr("protocol");
    nb::object running = asyncio().attr("_get_running_loop")();
    if (!holder.attr("loop").is(running)) {
        // Started on another loop: nothing of it can be awaited here.
        end_abandoned(transport, protocol, holder.attr("loop"));
        co_return nb::none();
    }
    quietly([&] { transport.attr("get_pipe_transport")(0).attr("close")(); });
    bridge::Outcome ended = co_await bridge::outcome(
        bridge::wait_for(asyncio().attr("shield")(protocol.attr("exited")), CLOSE_SECONDS));
    if (!ended) {
        nb::python_error error = ended.take_error();
        kill_now(transport, protocol);
        if (!error.matches(PyExc_TimeoutError)) {
            close_once_reaped(transport, protocol);
            co_await bridge::raise(std::move(error));
        }
        bridge::Outcome reaped = co_await bridge::outcome(
            bridge::wait_for(asyncio().attr("shield")(protocol.attr("exited")), REAP_SECONDS));
        if (!reaped && !reaped.failed_with(PyExc_TimeoutError)) {
            close_once_reaped(transport, protocol);
            co_await bridge::raise(reaped.take_error());
        }
    }
    close_pipes(transport, protocol);
    close_once_reaped(transport, protocol);
    co_return nb::none();
}

} // namespace ombrel::vantor
