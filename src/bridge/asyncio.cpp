#include "bridge/asyncio.h"

#include "bridge/detail/state.h"
#include "bridge/errors.h"

#include "common/python.h"

#include <cmath>

namespace ombrel::bridge {

using detail::state;

nb::module_ asyncio() {
    // Imported once, as a module-level `import asyncio` binds it; its
    // attributes are read at each use.
    PyObject *&module = state().asyncio;
    if (!module)
        module = common::import_module("asyncio").release().ptr();
    return nb::borrow<nb::module_>(module);
}

nb::object sleep(nb::handle seconds) {
    return common::call_method(asyncio(), state().names.sleep, seconds);
}

nb::object sleep(double seconds) { return sleep(nb::float_(seconds)); }

nb::object cancelled_error() { return common::attr(asyncio(), state().names.cancelled_error); }

nb::object timeout_error() {
#if PY_VERSION_HEX >= 0x030B0000
    return nb::borrow(PyExc_TimeoutError);
#else
    return common::attr(asyncio(), common::intern("TimeoutError"));
#endif
}

/// A time limit as the loop may be handed it: NaN has expired (zero), an
/// infinite limit is no limit at all.
std::optional<double> time_limit(std::optional<double> seconds) {
    if (!seconds || (std::isinf(*seconds) && *seconds > 0))
        return std::nullopt;
    if (std::isnan(*seconds) || *seconds < 0)
        return 0.0;
    return seconds;
}

nb::object wait_for(nb::object awaitable, std::optional<double> seconds) {
    std::optional<double> limit = time_limit(seconds);
    if (!limit)
        return awaitable;
    return asyncio().attr("wait_for")(std::move(awaitable), *limit);
}

Coro<> rest_of_await(nb::object iterator, nb::object yielded) {
    co_return co_await detail::TakenOver(std::move(iterator), std::move(yielded));
}

namespace detail {

bool WithinAwaiter::await_ready() {
    // A limit that has expired before anything ran: asyncio.wait_for
    // decides, as for any awaitable.
    if (limit_ && *limit_ == 0.0)
        return false;
    awaitable_ = awaitable_iterator(std::move(awaitable_));
    PyObject *produced = nullptr;
    switch (PyIter_Send(awaitable_.ptr(), Py_None, &produced)) {
        case PYGEN_RETURN: value_ = nb::steal(produced); break;
        case PYGEN_ERROR: error_.emplace(); break;
        default: yielded_ = nb::steal(produced); return false;
    }
    awaitable_.reset();
    return true;
}

void WithinAwaiter::await_suspend(std::coroutine_handle<>) noexcept {
    // Nothing of the await stays in the awaiter, where the collector would
    // not see it: the promise holds what the frame waits on.
    nb::object awaitable = std::move(awaitable_), yielded = std::move(yielded_);
    if (!limit_) {
        promise_.begin_taken_over_await(std::move(awaitable), std::move(yielded));
        return;
    }
    try {
        nb::object bounded;
        if (yielded.is_valid()) {
            nb::object rest = rest_of_await(std::move(awaitable), std::move(yielded))
                                  .named("wait_within")
                                  .to_python();
            bounded = asyncio().attr("wait_for")(std::move(rest), *limit_);
        } else {
            bounded = asyncio().attr("wait_for")(std::move(awaitable), *limit_);
        }
        promise_.begin_await(awaitable_iterator(std::move(bounded)), AwaitMode::throwing);
    } catch (...) {
        promise_.fail_await(as_python_error(std::current_exception()));
    }
}

nb::object WithinAwaiter::await_resume() {
    if (error_) {
        nb::python_error error = std::move(*error_);
        error_.reset();
        throw error;
    }
    if (value_.is_valid())
        return std::move(value_);
    return promise_.take_value();
}

} // namespace detail

} // namespace ombrel::bridge
