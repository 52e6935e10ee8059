#include "asyncio.h"

#include "common/interned.h"
#include "common/python.h"

#include <cmath>

namespace ombrel::bridge {

static const common::Interned sleep_name("sleep"), cancelled_error_name("CancelledError");

nb::module_ asyncio() {
    // Imported once, as a module-level `import asyncio` binds it; its
    // attributes are read at each use.
    static PyObject *module = nullptr;
    if (!module)
        module = common::import_module("asyncio").release().ptr();
    return nb::borrow<nb::module_>(module);
}

nb::object sleep(nb::handle seconds) {
    return common::call_method(asyncio(), sleep_name, seconds);
}

nb::object sleep(double seconds) { return sleep(nb::float_(seconds)); }

nb::object cancelled_error() { return common::attr(asyncio(), cancelled_error_name); }

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

/// The rest of an await whose first step yielded `yielded`.
static Coro<> go_on(nb::object iterator, nb::object yielded) {
    co_return co_await detail::TakenOver(std::move(iterator), std::move(yielded));
}

Coro<> wait_within(nb::object awaitable, std::optional<double> seconds) {
    std::optional<double> limit = time_limit(seconds);
    if (!limit || *limit == 0.0) {
        // No limit, or one that has expired before anything ran.
        nb::object bounded = wait_for(std::move(awaitable), limit);
        co_return co_await propagating(std::move(bounded));
    }
    Local<> iterator = awaitable_iterator(std::move(awaitable));
    PyObject *produced = nullptr;
    switch (PyIter_Send(iterator.ptr(), Py_None, &produced)) {
        case PYGEN_RETURN: co_return nb::steal(produced);
        case PYGEN_ERROR: co_await raise(nb::python_error()); co_return nb::none();
        default: break;
    }
    nb::object rest = go_on(iterator, nb::steal(produced)).named("wait_within").to_python();
    nb::object bounded = asyncio().attr("wait_for")(std::move(rest), *limit);
    co_return co_await propagating(std::move(bounded));
}

} // namespace ombrel::bridge
