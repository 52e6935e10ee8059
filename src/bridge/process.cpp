// Child processes with time limits that bound the call, whatever the child
// leaves behind.
//
// The child is started through the loop's low-level interface
// (`loop.subprocess_exec`/`subprocess_shell` with a protocol of our own),
// not through `asyncio.subprocess.Process`: the latter's `wait()` and
// `communicate()` wait for end-of-file on the pipes, which a process that
// left the session (`setsid`, a daemon) holds open for as long as it lives.
// Here, once the child is killed, we stop reading, close our ends of the
// pipes and wait only for the child itself, a moment at most.
#include "bridge/asyncio.h"

#include <algorithm>
#include <optional>

namespace ombrel::bridge {

/// How long a killed child may take to be reaped before we stop waiting
/// for it (the loop's child watcher reaps it whenever it ends).
constexpr double REAP_SECONDS = 2.0;

// ---------------------------------------------------------------------------
// The protocol: collects the output and tells when the child has exited
// (`exited`) and when, besides, both pipes are closed (`finished`). Its state
// lives in the instance's dictionary, where the garbage collector sees it.

/// Completes `future` unless it is done already (a time-out cancels it).
static void settle(nb::handle future) {
    if (!nb::cast<bool>(future.attr("done")()))
        future.attr("set_result")(nb::none());
}

static void protocol_init(nb::handle self, nb::handle limit) {
    nb::object loop = asyncio().attr("get_running_loop")();
    nb::setattr(self, "stdout", nb::list());
    nb::setattr(self, "stderr", nb::list());
    nb::setattr(self, "exited", loop.attr("create_future")());
    nb::setattr(self, "finished", loop.attr("create_future")());
    nb::setattr(self, "limit", limit);
    // Per stream: bytes kept, characters dropped.
    nb::setattr(self, "kept", nb::list(nb::make_tuple(0, 0, 0)));
    nb::setattr(self, "dropped", nb::list(nb::make_tuple(0, 0, 0)));
}

/// The characters of UTF-8 bytes: every byte that does not continue one.
static std::size_t utf8_characters(const char *data, std::size_t size) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < size; ++i)
        count += (static_cast<unsigned char>(data[i]) & 0xC0) != 0x80;
    return count;
}

static void protocol_data(nb::handle self, int fd, nb::handle data) {
    nb::object chunks = self.attr(fd == 2 ? "stderr" : "stdout");
    nb::object limit = self.attr("limit");
    if (limit.is_none()) {
        chunks.attr("append")(data);
        return;
    }
    nb::list kept = self.attr("kept"), dropped = self.attr("dropped");
    std::size_t room = nb::cast<std::size_t>(limit) - nb::cast<std::size_t>(kept[fd]);
    nb::bytes bytes = nb::borrow<nb::bytes>(data);
    std::size_t size = bytes.size();
    std::size_t keep = std::min(room, size);
    if (keep == size) {
        chunks.attr("append")(data);
    } else if (keep > 0) {
        chunks.attr("append")(nb::bytes(bytes.c_str(), keep));
    }
    kept[fd] = nb::cast<std::size_t>(kept[fd]) + keep;
    if (keep < size)
        dropped[fd] = nb::cast<std::size_t>(dropped[fd]) +
                      utf8_characters(bytes.c_str() + keep, size - keep);
}

static void protocol_process_exited(nb::handle self) { settle(self.attr("exited")); }

static void protocol_connection_lost(nb::handle self, nb::handle) {
    settle(self.attr("finished"));
}

/// A new protocol class (`asyncio.SubprocessProtocol` with our methods);
/// the class itself is the protocol factory.
static nb::object protocol_class() {
    nb::dict methods;
    methods["__init__"] = nb::cpp_function(&protocol_init, nb::is_method(),
                                           nb::arg("limit").none() = nb::none());
    methods["pipe_data_received"] = nb::cpp_function(&protocol_data, nb::is_method());
    methods["process_exited"] = nb::cpp_function(&protocol_process_exited, nb::is_method());
    methods["connection_lost"] =
        nb::cpp_function(&protocol_connection_lost, nb::is_method(), nb::arg("exc").none());
    methods["__module__"] = nb::str("ombrel");
    nb::handle type((PyObject *) &PyType_Type);
    return type("_ProcessProtocol",
                nb::make_tuple(asyncio().attr("SubprocessProtocol")), methods);
}

// ---------------------------------------------------------------------------
// Ending a child

static bool is_posix() {
    return nb::module_::import_("os").attr("name").equal(nb::str("posix"));
}

/// Calls `os.<function>(pid, SIGKILL)`, ignoring a process (group) that is
/// gone already. False when the function does not exist here.
static bool send_kill(const char *function, nb::handle pid) {
    nb::module_ os = nb::module_::import_("os");
    if (!nb::hasattr(os, function))
        return false;
    try {
        os.attr(function)(pid, nb::module_::import_("signal").attr("SIGKILL"));
    } catch (nb::python_error &e) {
        // Gone, or (macOS) a group of zombies only.
        if (!e.matches(PyExc_ProcessLookupError) && !e.matches(PyExc_PermissionError))
            throw;
    }
    return true;
}

// The descriptors of the closed pipes are closed at the loop's next turn.
void kill_child(nb::handle transport, nb::handle protocol, bool own_session) {
    nb::object pid = transport.attr("get_pid")();
    // The group outlives its leader while any member lives, and its id is
    // not reused meanwhile: signalling it is safe even after the reap.
    if (own_session)
        send_kill("killpg", pid);
    // The child itself only while it has not been reaped (its pid could be
    // another process's by then).
    if (!nb::cast<bool>(protocol.attr("exited").attr("done")())) {
        if (!is_posix() || !send_kill("kill", pid)) {
            try {
                transport.attr("kill")();
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_ProcessLookupError))
                    throw;
            }
        }
    }
    for (int fd : {1, 2}) {
        nb::object pipe = transport.attr("get_pipe_transport")(fd);
        if (!pipe.is_none())
            pipe.attr("close")();
    }
}

static void close_transport(nb::handle transport, nb::handle) { transport.attr("close")(); }

void close_when_exited(nb::handle transport, nb::handle protocol) {
    nb::object exited = protocol.attr("exited");
    if (nb::cast<bool>(exited.attr("done")())) {
        transport.attr("close")();
        return;
    }
    nb::object partial = nb::module_::import_("functools").attr("partial");
    nb::object close = nb::cpp_function(&close_transport, nb::arg("transport"),
                                        nb::arg("future"));
    exited.attr("add_done_callback")(partial(close, transport));
}

/// A start that nobody waits for any more: the child, once it exists, is
/// killed.
static void abandon_started(bool own_session, nb::handle starting) {
    if (nb::cast<bool>(starting.attr("cancelled")()))
        return;
    if (!starting.attr("exception")().is_none())
        return;  // retrieved, so that asyncio does not report it
    nb::object started = starting.attr("result")();
    nb::object transport = started[0], protocol = started[1];
    kill_child(transport, protocol, own_session);
    close_when_exited(transport, protocol);
}

nb::object kill_when_started(bool own_session) {
    return nb::cpp_function(
        [own_session](nb::handle future) { abandon_started(own_session, future); });
}

/// Whether `error`, raised at the await of the shielded start, is the
/// start's own failure (rather than something thrown into us).
static bool is_start_failure(nb::handle starting, const nb::python_error &error) {
    if (!nb::cast<bool>(starting.attr("done")()))
        return false;
    if (nb::cast<bool>(starting.attr("cancelled")()))
        return error.matches(asyncio().attr("CancelledError"));
    return starting.attr("exception")().is(error.value());
}

// ---------------------------------------------------------------------------

Coro<nb::tuple> run_process(nb::object command, ProcessOptions options) {
    nb::module_ aio = asyncio();
    nb::object pipe = aio.attr("subprocess").attr("PIPE");
    nb::dict kwargs;
    kwargs["stdin"] = nb::none();
    kwargs["stdout"] = pipe;
    kwargs["stderr"] = pipe;
    bool own_session = options.own_session && is_posix();
    if (own_session)
        kwargs["start_new_session"] = true;

    nb::object loop = aio.attr("get_running_loop")();
    nb::object factory = protocol_class();
    if (options.output_limit)
        factory = nb::module_::import_("functools").attr("partial")(factory, *options.output_limit);
    nb::object start;
    if (options.shell)
        start = loop.attr("subprocess_shell")(factory, command, **kwargs);
    else
        start = loop.attr("subprocess_exec")(factory, *command, **kwargs);
    factory.reset();
    loop.reset();

    // The start runs shielded: cancelled halfway, asyncio would kill only the
    // child itself and then wait until whatever the child started closes the
    // pipes. Whatever ends our wait meanwhile (cancellation, throw()) is kept
    // and acted on once the child exists; a close() cannot wait, so the
    // child is killed by a callback as soon as it exists.
    Local<> starting = aio.attr("ensure_future")(start);
    start.reset();
    Local<> started;
    std::optional<nb::python_error> failure;
    while (!started.is_valid()) {
        std::optional<nb::python_error> error;
        try {
            started = co_await aio.attr("shield")(starting);
        } catch (nb::python_error &e) {
            error.emplace(std::move(e));
        }
        if (!error)
            break;
        if (is_start_failure(starting, *error)) {
            if (failure)
                throw std::move(*failure);
            throw std::move(*error);
        }
        if (error->matches(PyExc_GeneratorExit)) {
            starting.attr("add_done_callback")(kill_when_started(own_session));
            throw std::move(*error);
        }
        if (!failure)
            failure.emplace(std::move(*error));
    }
    Local<> transport = started[0];
    Local<> protocol = started[1];
    started = nb::none();
    starting = nb::none();

    if (!failure) {
        try {
            nb::object finished = aio.attr("shield")(protocol.attr("finished"));
            co_await wait_for(std::move(finished), options.timeout);
        } catch (nb::python_error &e) {
            failure.emplace(std::move(e));
        }
    }
    if (failure) {
        // Time-out, cancellation or anything thrown in: nothing of the child
        // may hold up the caller. Kill, stop reading, reap for a moment.
        kill_child(transport, protocol, own_session);
        std::optional<nb::python_error> closing;
        try {
            nb::object finished = aio.attr("shield")(protocol.attr("finished"));
            co_await wait_for(std::move(finished), REAP_SECONDS);
        } catch (nb::python_error &e) {
            // Only a close() matters here: it must not be awaited past.
            if (e.matches(PyExc_GeneratorExit))
                closing.emplace(std::move(e));
        }
        close_when_exited(transport, protocol);
        if (closing)
            throw std::move(*closing);
        throw std::move(*failure);
    }
    transport.attr("close")();
    nb::bytes empty("", 0);
    if (!options.output_limit)
        co_return nb::make_tuple(transport.attr("get_returncode")(),
                                 empty.attr("join")(protocol.attr("stdout")),
                                 empty.attr("join")(protocol.attr("stderr")));
    nb::list dropped = protocol.attr("dropped");
    co_return nb::make_tuple(transport.attr("get_returncode")(),
                             empty.attr("join")(protocol.attr("stdout")),
                             empty.attr("join")(protocol.attr("stderr")), dropped[1], dropped[2]);
}

} // namespace ombrel::bridge
