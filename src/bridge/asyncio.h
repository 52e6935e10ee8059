// The asyncio side of the bridge: sleeping, the loop's default executor and
// child processes with time limits.
#pragma once

#include "bridge/coroutine.h"

#include <cstddef>
#include <optional>
#include <type_traits>
#include <utility>

namespace ombrel::bridge {

/// The `asyncio` module.
nb::module_ asyncio();

/// `asyncio.CancelledError`, read now.
nb::object cancelled_error();

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

namespace detail {

/// The awaiter behind `co_await wait_within(...)`: takes the first step when
/// the `co_await` is reached, so that an awaitable that completes there
/// resumes the frame without suspending it (no coroutine object, no timer);
/// one that has to wait goes on under `asyncio.wait_for` from where it
/// stands, or, without a limit, is awaited on as `await` would.
class WithinAwaiter {
public:
    WithinAwaiter(Promise &promise, nb::object awaitable, std::optional<double> limit)
        : promise_(promise), awaitable_(std::move(awaitable)), limit_(limit) {}

    bool await_ready();
    void await_suspend(std::coroutine_handle<>) noexcept;
    nb::object await_resume();

private:
    Promise &promise_;
    nb::object awaitable_;  // until the first step: the awaitable; then its iterator
    std::optional<double> limit_;
    nb::object yielded_;    // what a first step that has to wait yielded
    nb::object value_;      // the result of a first step that completed
    std::optional<nb::python_error> error_;
};

/// What `wait_within` returns, for `co_await` in a bridge coroutine.
class Within {
public:
    Within(nb::object awaitable, std::optional<double> limit)
        : awaitable_(std::move(awaitable)), limit_(limit) {}
    WithinAwaiter awaiter(Promise &promise) && {
        return WithinAwaiter(promise, std::move(awaitable_), limit_);
    }

private:
    nb::object awaitable_;
    std::optional<double> limit_;
};

} // namespace detail

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

namespace detail {
template <typename R, typename... Params, std::size_t... I>
nb::object call_unpacked(R (*fn)(Params...), nb::args args, std::index_sequence<I...>) {
    if constexpr (std::is_void_v<R>) {
        fn(nb::cast<Params>(args[I])...);
        return nb::none();
    } else {
        return nb::cast(fn(nb::cast<Params>(args[I])...));
    }
}
template <typename R, typename... Params> constexpr std::size_t arity(R (*)(Params...)) {
    return sizeof...(Params);
}
} // namespace detail

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

} // namespace ombrel::bridge
