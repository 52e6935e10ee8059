#include "asyncio.h"

namespace ombrel::bridge {

nb::module_ asyncio() { return nb::module_::import_("asyncio"); }

nb::object sleep(nb::handle seconds) { return asyncio().attr("sleep")(seconds); }

nb::object sleep(double seconds) { return asyncio().attr("sleep")(seconds); }

/// Kills the child, and with `own_session` every process of its session.
static void kill_child(nb::handle process, bool own_session) {
    nb::module_ os = nb::module_::import_("os");
    if (own_session && nb::hasattr(os, "killpg")) {
        try {
            nb::object signal = nb::module_::import_("signal");
            os.attr("killpg")(process.attr("pid"), signal.attr("SIGKILL"));
            return;
        } catch (nb::python_error &e) {
            // The group is gone, or (macOS) holds only zombies: the child
            // itself is all that may be left.
            if (!e.matches(PyExc_ProcessLookupError) && !e.matches(PyExc_PermissionError))
                throw;
        }
    }
    try {
        process.attr("kill")();
    } catch (nb::python_error &e) {
        // Already gone: nothing left to kill.
        if (!e.matches(PyExc_ProcessLookupError))
            throw;
    }
}

Coro<nb::tuple> run_process(nb::object command, ProcessOptions options) {
    nb::module_ aio = asyncio();
    nb::object pipe = aio.attr("subprocess").attr("PIPE");
    nb::dict kwargs;
    kwargs["stdout"] = pipe;
    kwargs["stderr"] = pipe;
    if (options.own_session && nb::module_::import_("os").attr("name").equal(nb::str("posix")))
        kwargs["start_new_session"] = true;

    nb::object start;
    if (options.shell) {
        start = aio.attr("create_subprocess_shell")(command, **kwargs);
    } else {
        start = aio.attr("create_subprocess_exec")(*command, **kwargs);
    }

    // The start runs shielded from cancellation: cancelled halfway, asyncio
    // would kill only the child itself and then wait until whatever the
    // child started closes the pipes. A cancellation that arrives meanwhile
    // is kept and acted on below, once the child exists.
    nb::object starting = aio.attr("ensure_future")(start);
    nb::object process;
    std::optional<nb::python_error> failure;
    while (!process.is_valid()) {
        try {
            process = co_await aio.attr("shield")(starting);
        } catch (nb::python_error &e) {
            bool start_cancelled = nb::cast<bool>(starting.attr("cancelled")());
            if (e.matches(aio.attr("CancelledError")) && !start_cancelled) {
                // Ours, not the start's: the start goes on.
                if (!failure)
                    failure.emplace(std::move(e));
                continue;
            }
            // The start itself failed: there is no child to clean up.
            if (failure)
                throw std::move(*failure);
            throw;
        }
    }

    nb::object timeout = options.timeout ? nb::object(nb::float_(*options.timeout))
                                         : nb::object(nb::none());
    nb::object output;
    if (!failure) {
        try {
            output = co_await aio.attr("wait_for")(process.attr("communicate")(), timeout);
        } catch (nb::python_error &e) {
            failure.emplace(std::move(e));
        }
    }
    if (failure) {
        // Time-out or cancellation: nothing of the child may outlive us.
        kill_child(process, options.own_session);
        co_await process.attr("wait")();
        throw std::move(*failure);
    }
    co_return nb::make_tuple(process.attr("returncode"), output[0], output[1]);
}

} // namespace ombrel::bridge
