// What a desktop backend offers the controller: one table of operations per
// platform (Windows UI Automation, Linux AT-SPI and xdotool, macOS System
// Events). The controller picks a table by `SYSTEM` at each call, or by the
// "backend" of a ref-table entry, and otherwise knows no backend.
//
// Every operation takes the controller as an owning `self` and its arguments
// as the public operation received them (already checked), and answers with
// the result dictionary the caller gets.
#pragma once

#include "pc/vantor/snapshot_options.h"
#include "pc/vantor/vantor.h"

#include <utility>

namespace ombrel::vantor {

struct Backend {
    /// Probes the platform's libraries and tools (once per controller).
    void (*init)(nb::object self);
    /// `options`: None, or the dict of `SnapshotOptions` (snapshot_options.h).
    Coro<> (*snapshot)(nb::object self, nb::object window_title, nb::object max_depth,
                       nb::object options);

    // Acting on a ref-table entry this backend made.

    /// The stale check: None when the entry's element is still there and
    /// still the one the snapshot saw, else the stale failure (`stale_ref`).
    /// An element that cannot be checked counts as changed.
    Coro<> (*verify)(nb::object self, nb::object ref, nb::object elem_info);
    Coro<> (*click)(nb::object self, nb::object ref, nb::object elem_info,
                    nb::object double_click);
    Coro<> (*type)(nb::object self, nb::object ref, nb::object elem_info, nb::object text,
                   nb::object clear_first, nb::object press_enter);
    Coro<> (*select)(nb::object self, nb::object ref, nb::object elem_info, nb::object value);
    Coro<> (*toggle)(nb::object self, nb::object ref, nb::object elem_info);

    // Windows of the desktop.
    Coro<> (*get_focused_window)(nb::object self);
    Coro<> (*list_windows)(nb::object self);
    Coro<> (*focus_window)(nb::object self, nb::object title);

    // Input to whatever has the focus.
    Coro<> (*press_key)(nb::object self, nb::object key);
    Coro<> (*scroll)(nb::object self, nb::object direction, nb::object amount);

    /// Ends what the backend keeps running for the controller (the Linux
    /// long-lived walker); null for a backend that keeps nothing.
    Coro<> (*close)(nb::object self);
};

/// The backend of the platform `SYSTEM` names now: "Windows", "Darwin", and
/// the Linux one for every other system.
const Backend &backend_for_system();

/// The backend that acts on an entry whose "backend" is `name`: "macos",
/// "linux_atspi", and the Windows one for every other value.
const Backend &backend_for_entry(nb::handle name);

/// Ends what any backend keeps running for the controller (each `close`).
Coro<> close_backends(nb::object self);

// Answers shared by backends that cannot do an operation on their entries.

/// failure "Type not supported on this backend yet", with "ref".
Coro<> type_not_supported(nb::object self, nb::object ref, nb::object elem_info,
                          nb::object text, nb::object clear_first, nb::object press_enter);
/// failure "Select not yet supported on <the entry's backend>", with "ref".
Coro<> select_not_supported(nb::object self, nb::object ref, nb::object elem_info,
                            nb::object value);

/// A toggle that is the backend's own single click on the entry.
template <auto Click>
Coro<> toggle_by_click(nb::object self, nb::object ref, nb::object elem_info) {
    bridge::Local<> once = nb::bool_(false);
    co_return co_await Click(self, ref, elem_info, once);
}

/// The entry's "backend", "pywinauto" when it names none.
nb::object entry_backend(nb::handle elem_info);

// How an operation fails -----------------------------------------------------
//
// An operation's body is a coroutine that lets its errors go; the operation
// awaits it through `result_or_failure`, which answers the body's result, or
// a failure result for an `Exception` it raised (a C++ exception counts as
// the Python exception the bridge makes of it, a TypeError for nanobind's
// type errors). Cancellation and every other BaseException go on unchanged.
// What varies from operation to operation is said once, in an `OnError`.

/// A fixed failure text for the exceptions of one type.
struct ErrorText {
    PyObject *const *type; ///< `&PyExc_TimeoutError`, say; none when null
    const char *text;
};

/// What an operation answers for an Exception of its body.
struct OnError {
    /// Logged at error level before the failure is answered, "%s" standing
    /// for the error's text; nothing is logged when null.
    const char *log = nullptr;
    /// Texts that replace the error's own for exceptions of these types
    /// (the first match counts, two at most); these failures are not logged.
    ErrorText texts[2] = {};
    /// Answers None instead of a failure result: for a step whose caller
    /// only asks whether it gave anything.
    bool none = false;
};

/// {"success": False, "error": str(e)}, nothing logged.
inline const OnError plain_failure{};
/// None, nothing logged.
inline const OnError no_answer{.none = true};

/// What `on_error` answers for `error` (an Exception): None, or the failure
/// result, with "ref" when `ref` is not empty.
nb::object answer_error(const nb::python_error &error, const OnError &on_error, nb::handle ref);

namespace detail {

template <auto Body, bool OnRef, typename... Args>
Coro<> start_body(const nb::object &ref, Args &...args) {
    if constexpr (OnRef)
        return Body(ref, std::move(args)...);
    else
        return Body(std::move(args)...);
}

template <auto Body, const OnError &On, bool OnRef, typename... Args>
Coro<> result_or_failure(nb::object ref, Args... args) {
    bridge::Outcome done = co_await bridge::outcome(start_body<Body, OnRef>(ref, args...));
    if (done)
        co_return done.value();
    nb::python_error error = done.take_error();
    if (!py::is_exception(error))
        co_await bridge::raise(std::move(error));
    co_return answer_error(error, On, ref);
}

} // namespace detail

/// Runs an operation's body, `Body(args...)`, to its end: its result, or
/// what `On` answers for the Exception it raised. Await it in the operation,
/// itself a coroutine (its parameters then live in its frame, where the
/// garbage collector sees them):
///
///     co_return co_await result_or_failure<&body, body_error>(self, title);
template <auto Body, const OnError &On = plain_failure, typename... Args>
Coro<> result_or_failure(Args... args) {
    return detail::result_or_failure<Body, On, false>(nb::object(), std::move(args)...);
}

/// The same for an operation on a ref: the body is `Body(ref, args...)`,
/// and its failure carries "ref".
template <auto Body, const OnError &On = plain_failure, typename... Args>
Coro<> result_or_failure_for(nb::object ref, Args... args) {
    return detail::result_or_failure<Body, On, true>(std::move(ref), std::move(args)...);
}

/// A backend's stale check (`Backend::verify`) around `Check(args...)`,
/// which answers None when the element of the ref is unchanged and the
/// stale failure when not: an element whose check raises an Exception
/// counts as changed.
template <auto Check, typename... Args> Coro<> unchanged_or_stale(nb::object ref, Args... args) {
    bridge::Outcome checked = co_await bridge::outcome(Check(args...));
    if (checked)
        co_return checked.value();
    nb::python_error error = checked.take_error();
    if (!py::is_exception(error))
        co_await bridge::raise(std::move(error));
    co_return stale_ref(ref);
}

/// The synchronous counterpart, for a way of doing something whose
/// Exception only means that this way did not work (a probe, or one of
/// several ways, the caller going on with the next): what `way()` answers,
/// or false when it raises an Exception.
template <typename Way> bool works(Way &&way) {
    try {
        return way();
    } catch (...) {
        nb::python_error error = bridge::as_python_error(std::current_exception());
        if (!py::is_exception(error))
            throw std::move(error);
        return false;
    }
}

} // namespace ombrel::vantor
