// The asyncio side of the bridge: sleeping, the loop's default executor and
// child processes with time limits.
#pragma once

#include "coroutine.h"

#include <optional>
#include <utility>

namespace ombrel::bridge {

/// The `asyncio` module.
nb::module_ asyncio();

/// `asyncio.sleep(seconds)`, to be awaited.
nb::object sleep(nb::handle seconds);
nb::object sleep(double seconds);

/// Runs `fn` on the running loop's default executor; await the returned
/// future for its result. `fn` runs on a worker thread holding the GIL, so it
/// must own everything it touches (capture by value): the awaiting coroutine
/// may be cancelled while it still runs.
template <typename F> nb::object run_in_executor(F fn) {
    nb::object loop = asyncio().attr("get_running_loop")();
    return loop.attr("run_in_executor")(nb::none(), nb::cpp_function(std::move(fn)));
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
};

/// Starts a child with piped stdout and stderr and awaits its end. Result:
/// (returncode, stdout bytes, stderr bytes). On time-out the child (its whole
/// session with `own_session`) is killed and reaped and the TimeoutError goes
/// on to the caller; cancellation does the same and then propagates.
Coro<nb::tuple> run_process(nb::object command, ProcessOptions options);

} // namespace ombrel::bridge
