// The asyncio side of the bridge: sleeping, the loop's default executor and
// child processes with time limits.
#pragma once

#include "bridge/coroutine.h"
#include "bridge/detail/call_unpacked.h"
#include "bridge/detail/within_awaiter.h"

#include <optional>
#include <utility>

namespace ombrel::bridge {

/// The `asyncio` module.
nb::module_ asyncio();

/// `asyncio.CancelledError`, read now.
nb::object cancelled_error();

/// `asyncio.TimeoutError`, what `wait_for` raises at its limit: the
/// built-in TimeoutError since CPython 3.11, a class of asyncio's own
/// before.
nb::object timeout_error();

/// `asyncio.sleep(seconds)`, to be awaited.
nb::object sleep(nb::handle seconds);
nb::object sleep(double seconds);

/// A time limit in the form the event loop may be handed: none stays none
/// and so does +inf (no limit); zero, negative or NaN has expired (0.0).
/// A NaN must never reach the loop: in its timer heap it would break the
/// order of every other timer and never expire.
std::optional<double> time_limit(std::optional<double> seconds);

/// `asyncio.wait_for(awaitable, seconds)` with the limit passed through
/// `time_limit`, to be awaited; without a limit, `awaitable` itself.
nb::object wait_for(nb::object awaitable, std::optional<double> seconds);

/// `co_await wait_within(awaitable, seconds)`: awaits `awaitable` within
/// `seconds` (as `wait_for`), but takes its first step at once, as `await`
/// does: one that completes there (a send whose buffer has room) costs no
/// timer, no task and no coroutine object. Only one that has to wait goes
/// on under `asyncio.wait_for`, from where it stands. Its error is thrown at
/// the `co_await`.
inline detail::Within wait_within(nb::object awaitable, std::optional<double> seconds) {
    return detail::Within(std::move(awaitable), time_limit(seconds));
}

/// The rest of an await whose first step was taken and yielded `yielded`,
/// as a coroutine of its own (to hand to a task when the frame that began it
/// cannot await any more).
Coro<> rest_of_await(nb::object iterator, nb::object yielded);

/// `asyncio.get_running_loop().run_in_executor(None, Fn, *args)`: runs the
/// plain function `Fn` on a worker thread of the loop's default executor,
/// holding the GIL; await the returned future for its result.
///
/// The arguments travel as Python objects in the executor's work item, where
/// the garbage collector sees them (a lambda's captures would be hidden from
/// it), and the awaiting coroutine may be cancelled while `Fn` still runs, so
/// `Fn` must own what it uses. Usage: `co_await run_in_executor<&walk>(self, depth)`.
template <auto Fn, typename... Args> nb::object run_in_executor(Args &&...args) {
    static_assert(sizeof...(Args) == detail::arity(Fn), "wrong number of arguments for Fn");
    nb::object function = nb::cpp_function([](nb::args passed) {
        return detail::call_unpacked(Fn, passed, std::make_index_sequence<detail::arity(Fn)>{});
    });
    nb::object loop = asyncio().attr("get_running_loop")();
    return loop.attr("run_in_executor")(nb::none(), function, std::forward<Args>(args)...);
}

/// How a child process is started and bounded.
struct ProcessOptions {
    /// Seconds before the child is killed (as `asyncio.wait_for` counts
    /// them: zero, negative or NaN has expired at once); no limit when empty.
    std::optional<double> timeout;
    /// Runs `command` (a str) through the system shell instead of as an argv
    /// list.
    bool shell = false;
    /// Starts the child in a session of its own (POSIX), so that the kill on
    /// time-out or cancellation takes whatever it started with it.
    bool own_session = false;
    /// Keeps at most this many bytes of each stream; the rest is read and
    /// dropped as it comes (memory stays bounded whatever the child writes),
    /// and counted as UTF-8 characters.
    std::optional<std::size_t> output_limit;
};

/// Starts a child with piped stdout and stderr (stdin inherited) and awaits
/// its end and the end of its output. Result: (returncode, stdout bytes,
/// stderr bytes), and with an `output_limit` also the numbers of characters
/// dropped from each stream.
///
/// The time limit bounds the whole call. On time-out the child (its whole
/// session with `own_session`) is killed, our ends of the pipes are closed
/// without reading further, the child is reaped (waiting a moment at most)
/// and the TimeoutError goes on to the caller: a process that escaped the
/// session (`setsid`, a daemon) may live on, but holds up nobody and keeps no
/// descriptor of ours. Cancellation does the same and then propagates, and so
/// does anything else that ends the wait (`throw()`); a `close()` while the
/// child is still starting kills it as soon as it exists.
Coro<nb::tuple> run_process(nb::object command, ProcessOptions options);

// Ending a child started with `loop.subprocess_exec`/`subprocess_shell` and a
// protocol whose `exited` future completes when the loop has reaped it (as
// `run_process` does; a child kept running between calls uses the same).

/// Kills the child, and with `own_session` every process of its group; stops
/// reading and closes our ends of its stdout and stderr pipes.
void kill_child(nb::handle transport, nb::handle protocol, bool own_session);
/// Closes the transport now when the child has been reaped, else as soon as
/// it is (closing it earlier would make asyncio poll for the child itself,
/// racing the loop's child watcher).
void close_when_exited(nb::handle transport, nb::handle protocol);
/// Done-callback for a start (a future of (transport, protocol)) that
/// nobody awaits any more: the child, once it exists, is killed and its
/// transport closed when it has been reaped.
nb::object kill_when_started(bool own_session);

} // namespace ombrel::bridge
