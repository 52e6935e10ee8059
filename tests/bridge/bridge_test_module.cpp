// A test-only module exercising the coroutine bridge on its own.
#include "bridge/bridge.h"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <stdexcept>

namespace nb = nanobind;
namespace bridge = ombrel::bridge;
namespace common = ombrel::common;
using bridge::Coro;

namespace {

const bridge::Logger logger("ombrel.bridge_test");

Coro<> echo(nb::object value) { co_return value; }

Coro<> await_one(nb::object awaitable) { co_return co_await awaitable; }

Coro<nb::list> await_all(nb::list awaitables) {
    nb::list results;
    for (nb::handle awaitable : awaitables)
        results.append(co_await awaitable);
    co_return results;
}

Coro<void> nothing() { co_return; }

/// The items of an asynchronous iterable, as `[x async for x in iterable]`.
Coro<nb::list> collect(nb::object iterable) {
    nb::list items;
    nb::object iterator = bridge::aiter(iterable);
    while (nb::object item = co_await bridge::anext(iterator))
        items.append(item);
    co_return items;
}

Coro<long> count_down(long depth) {
    if (depth == 0)
        co_return 0;
    long below = co_await count_down(depth - 1);
    co_await bridge::sleep(0.0);
    co_return below + 1;
}

Coro<> raise_cpp(std::string kind) {
    co_await bridge::sleep(0.0);
    if (kind == "runtime")
        throw std::runtime_error("runtime failure");
    if (kind == "value")
        throw nb::value_error("bad value");
    if (kind == "range")
        throw std::out_of_range("out of range");
    if (kind == "python")
        nb::raise_type_error("typed %s", "failure");
    co_return nb::none();
}

/// `await asyncio.sleep(seconds)` on the shared timer, then `result`.
Coro<> sleep_then(nb::object seconds, nb::object result) {
    co_await bridge::sleep_for(seconds);
    co_return result;
}

/// The same with the sleep taken as an outcome: ("slept", result) or
/// ("failed", error).
Coro<nb::tuple> sleep_outcome(nb::object seconds, nb::object result) {
    bridge::Outcome slept = co_await bridge::outcome(bridge::sleep_for(seconds));
    if (slept)
        co_return nb::make_tuple("slept", result);
    co_return nb::make_tuple("failed", slept.take_error().value());
}

/// Awaits `awaitable`; a CancelledError there gives `instead`.
Coro<> catch_cancel(nb::object awaitable, nb::object instead) {
    try {
        co_return co_await awaitable;
    } catch (nb::python_error &e) {
        if (!e.matches(bridge::asyncio().attr("CancelledError")))
            throw;
    }
    co_return instead;
}

/// `await_one` with the error ending the frame without a C++ exception.
Coro<> propagate(nb::object awaitable) {
    co_return co_await bridge::propagating(awaitable);
}

/// `catch_cancel` on an outcome: other errors end the frame through `raise`.
Coro<> catch_cancel_outcome(nb::object awaitable, nb::object instead) {
    bridge::Outcome outcome = co_await bridge::outcome(awaitable);
    if (outcome)
        co_return outcome.value();
    if (!outcome.failed_with(bridge::cancelled_error()))
        co_await bridge::raise(outcome.take_error());
    co_return instead;
}

/// Awaits `awaitable`; on any error awaits `cleanup` and lets the error go on.
Coro<> with_cleanup(nb::object awaitable, nb::object cleanup) {
    std::optional<nb::python_error> failure;
    try {
        co_return co_await awaitable;
    } catch (nb::python_error &e) {
        failure.emplace(std::move(e));
    }
    co_await cleanup;
    throw std::move(*failure);
}

/// Awaits `awaitable`; any error there gives `instead`.
Coro<> swallow(nb::object awaitable, nb::object instead) {
    try {
        co_return co_await awaitable;
    } catch (nb::python_error &) {
    }
    co_return instead;
}

/// Catches GeneratorExit and awaits again: close() must refuse that.
Coro<> stubborn(nb::object awaitable) {
    bool caught = false;
    try {
        co_await awaitable;
    } catch (nb::python_error &) {
        caught = true;
    }
    if (caught)
        co_await awaitable;
    co_return nb::none();
}

nb::object call(nb::object fn) { return fn(); }

Coro<> in_executor(nb::object fn) { co_return co_await bridge::run_in_executor<&call>(fn); }

Coro<> run_process(nb::object command, std::optional<double> timeout, bool shell,
                   bool own_session) {
    co_return co_await bridge::run_process(
        command, bridge::ProcessOptions{timeout, shell, own_session, std::nullopt});
}

/// Holds `keep` in its frame while awaiting `awaitable`.
Coro<> hold(nb::object keep, nb::object awaitable) {
    co_await awaitable;
    co_return keep;
}

/// Like `hold`, but the kept object comes as a borrowed handle (the caller
/// keeps it alive): the frame does not own it.
Coro<> hold_borrowed(nb::handle keep, nb::object awaitable) {
    co_await awaitable;
    co_return nb::borrow(keep);
}

} // namespace

NB_MODULE(_bridge_test, m) {
    bridge::register_coroutine_type(m);
    m.def("echo", [](nb::object v) { return echo(v).named("echo"); }, nb::arg("value").none());
    m.def("await_one", [](nb::object a) { return await_one(a).named("await_one"); });
    m.def("await_all", [](nb::list a) { return await_all(a); });
    m.def("nothing", &nothing);
    m.def("sleep_then", &sleep_then, nb::arg("seconds").none(), nb::arg("result").none());
    m.def("sleep_outcome", &sleep_outcome, nb::arg("seconds").none(), nb::arg("result").none());
    m.def("collect", &collect);
    m.def("count_down", &count_down);
    m.def("raise_cpp", &raise_cpp);
    m.def("catch_cancel", &catch_cancel, nb::arg("awaitable"), nb::arg("instead").none());
    m.def("propagate", &propagate);
    m.def("catch_cancel_outcome", &catch_cancel_outcome, nb::arg("awaitable"),
          nb::arg("instead").none());
    m.def("with_cleanup", &with_cleanup);
    m.def("swallow", &swallow, nb::arg("awaitable"), nb::arg("instead").none());
    m.def("stubborn", &stubborn);
    m.def("in_executor", &in_executor);
    m.def("run_process", &run_process, nb::arg("command"), nb::arg("timeout").none(),
          nb::arg("shell"), nb::arg("own_session"));
    m.def("hold_borrowed", &hold_borrowed);
    m.def("hold", &hold, nb::arg("keep").none(), nb::arg("awaitable"));
    m.def("log_info", [](nb::handle a, nb::handle b) { logger.info("value %s and %d", a, b); });
    m.def("log_exception", [](nb::handle exc) { logger.exception("failed %s", exc, "here"); });
    m.def("expect_str", [](nb::handle v) { return common::expect_str(v, "text"); });
    m.def("expect_int", [](nb::handle v) { return common::expect_int(v, "ref"); });
    m.def("expect_dict", [](nb::handle v) { return common::expect_dict(v, "params"); });
    m.def("describe", [](nb::handle e) { return common::describe_exception(e); });
}
