// The part of a bridge coroutine's promise that does not depend on its
// result type: the await in progress, how the coroutine ended, and the
// objects the frame shows the garbage collector.
#pragma once

#include "bridge/detail/awaits.h"
#include "bridge/detail/held.h"

#include <nanobind/nanobind.h>

#include <coroutine>
#include <exception>
#include <optional>
#include <utility>

namespace ombrel::bridge {

class Outcome;

namespace detail {

namespace nb = nanobind;

class CoroutineObject;

/// The frame's driver (`CoroutineObject`) and the awaiters talk to it.
class Promise {
public:
    void unhandled_exception() noexcept;

    /// The promise of the coroutine whose frame runs on this thread now, if
    /// any (what a `Local` made in the frame registers with).
    static Promise *&running() noexcept;
    /// A Python object of the frame (a `Local`, an awaiter's), seen by the
    /// collector from now on, or no longer. `link` lives beside the object,
    /// in the frame, and stays where it is until it is forgotten.
    void hold(HeldLink &link, const nb::handle *object) noexcept {
        link.object = object;
        link.prev = nullptr;
        link.next = locals_;
        if (locals_)
            locals_->prev = &link;
        locals_ = &link;
    }
    void forget(HeldLink &link) noexcept {
        (link.prev ? link.prev->next : locals_) = link.next;
        if (link.next)
            link.next->prev = link.prev;
        link.prev = link.next = nullptr;
    }

    /// Called by an awaiter as the frame suspends on `iterator`.
    void begin_await(nb::object iterator, AwaitMode mode) noexcept {
        awaiting_ = std::move(iterator);
        mode_ = mode;
    }
    /// The same, with the await's first step taken at once, as `await`
    /// takes it: false when that step finished the await, and the frame
    /// goes on without suspending.
    bool start_await(nb::object iterator, AwaitMode mode) noexcept;
    /// The same for an await whose first step was already taken and
    /// yielded `yielded`: that goes to the loop instead of a new step.
    void begin_taken_over_await(nb::object iterator, nb::object yielded) noexcept {
        begin_await(std::move(iterator), AwaitMode::throwing);
        yielded_ = std::move(yielded);
    }
    /// The end of the finished await: its value, or its error thrown.
    nb::object take_value();
    /// The end of the finished await as an `Outcome`.
    Outcome take_outcome();
    /// True (the error consumed) when the finished await failed with `type`.
    bool take_error_if(PyObject *type);
    /// `co_await raise(error)`: the coroutine ends with `error`.
    void begin_raise(nb::python_error error) noexcept {
        await_error_.emplace(std::move(error));
        mode_ = AwaitMode::propagating;
    }
    /// An await that failed before it could wait on anything: the frame
    /// resumes at once and its `co_await` throws `error`.
    void fail_await(nb::python_error error) noexcept {
        await_error_.emplace(std::move(error));
        mode_ = AwaitMode::throwing;
    }

protected:
    void set_result(nb::object value) noexcept { result_ = std::move(value); }
    template <typename... Args> void remember(Args &...args) { held_.remember(args...); }

private:
    friend class CoroutineObject;

    /// Iterator of the Python awaitable the coroutine is suspended on.
    nb::object awaiting_;
    /// What a taken-over await yielded at its first step, until the frame
    /// passes it on.
    nb::object yielded_;
    /// What the finished await produced: a value or an error.
    nb::object await_value_;
    std::optional<nb::python_error> await_error_;
    AwaitMode mode_ = AwaitMode::throwing;
    /// How the coroutine ended.
    nb::object result_;
    std::optional<nb::python_error> python_failure_;
    std::exception_ptr cpp_failure_;
    HeldParameters held_;
    /// The objects held with `hold`, newest first.
    HeldLink *locals_ = nullptr;
};

/// Wraps a coroutine frame in a new Python `_Coroutine` object.
nb::object make_coroutine_object(std::coroutine_handle<> handle, Promise *promise,
                                 const char *qualname);

} // namespace detail

} // namespace ombrel::bridge
