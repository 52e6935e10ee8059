// C++20 coroutines that Python sees as coroutine objects.
//
// A function returning `Coro<T>` is a C++20 coroutine. Handed to Python it
// becomes a `_Coroutine` object with `__await__`, `send`, `throw` and `close`,
// so asyncio awaits it, wraps it in tasks and cancels it exactly like the
// coroutine of an `async def`.
//
// Inside, `co_await` takes any Python awaitable (nb::object or nb::handle) and
// yields `nb::object`, or another `Coro<U>` and yields `U`. What the awaitable
// yields to the event loop passes through unchanged; its exception arrives at
// the `co_await` as `nb::python_error` (match it with `.matches(type)`), and an
// error that the C++ code lets through reaches the awaiting Python code as the
// very same exception object.
//
// Two other forms of await cost no C++ exception when the awaited object
// fails (cancellation, for instance, arrives that way at every suspended
// coroutine of a task):
//   - `co_await outcome(x)` gives an `Outcome`, the value or the error;
//   - `co_await propagating(x)`, for an await that no `try` block of the
//     frame surrounds: an error ends the coroutine with that error at once,
//     as an uncaught exception would (locals are destroyed), without
//     unwinding through the frame.
// `co_await raise(error)` ends the coroutine with `error` in the same way.
//
// Rules for coroutine functions: take parameters by value (the frame outlives
// the caller's references), hold Python objects as owning `nb::object`s, and
// never `co_await` inside a `catch` block (C++ forbids it: keep the error in a
// `std::optional<nb::python_error>` and await after the block). Keep lambdas
// and braced aggregates out of `co_await` expressions: GCC 12 destroys such
// temporaries twice there; build them in a statement of their own. Python
// objects held across a `co_await` go in `Local` variables (or parameters),
// where the garbage collector sees them.
#pragma once

#include <nanobind/nanobind.h>

#include <coroutine>
#include <optional>
#include <type_traits>
#include <utility>

namespace ombrel::bridge {

namespace nb = nanobind;

template <typename T = nb::object> class Coro;

/// How an await taken with `co_await outcome(x)` ended: its value, or its
/// error (true when it succeeded).
class Outcome {
public:
    Outcome(nb::object value) : value_(std::move(value)) {}
    Outcome(nb::python_error error) : error_(std::move(error)) {}

    explicit operator bool() const noexcept { return !error_.has_value(); }
    /// The value (empty after a failure).
    const nb::object &value() const { return value_; }
    /// Whether the await failed with an error of `type` (a class or tuple).
    bool failed_with(nb::handle type) const { return error_ && error_->matches(type); }
    /// The error, moved out; only after a failure.
    nb::python_error take_error() {
        nb::python_error error = std::move(*error_);
        error_.reset();
        return error;
    }

private:
    nb::object value_;
    std::optional<nb::python_error> error_;
};

/// Turns a Python awaitable into the iterator that drives it (what `await`
/// does before suspending): coroutines and generators as they are, anything
/// else through its `__await__`.
nb::object awaitable_iterator(nb::handle awaitable);
/// The same for an owned awaitable, which it may hand on as it is.
nb::object awaitable_iterator(nb::object &&awaitable);

/// `aiter(iterable)`: the asynchronous iterator an `async for` loop uses.
nb::object aiter(nb::handle iterable);

/// What `co_await anext(iterator)` waits for: the next item of an
/// asynchronous iterator, or an empty object once the iterator is exhausted
/// (where an `async for` loop ends). Usage:
///
///     nb::object events = bridge::aiter(stream);
///     while (nb::object event = co_await bridge::anext(events)) { ... }
class NextItem {
public:
    explicit NextItem(nb::handle iterator) : iterator_(nb::borrow(iterator)) {}
    /// `iterator.__anext__()`
    nb::object awaitable() const;

private:
    nb::object iterator_;
};

inline NextItem anext(nb::handle iterator) { return NextItem(iterator); }

/// Registers the `_Coroutine` type in a module; call once from every module
/// that returns coroutines.
void register_coroutine_type(nb::module_ &m);

} // namespace ombrel::bridge

// The promise, its awaiters and the frame's held objects (`bridge::detail`),
// which the templates below are made of.
#include "bridge/detail/await_transform.h"
#include "bridge/detail/awaiters.h"
#include "bridge/detail/awaits.h"
#include "bridge/detail/held.h"
#include "bridge/detail/promise.h"

namespace ombrel::bridge {

/// A local variable of a coroutine function that the garbage collector sees
/// while the coroutine is suspended, as it sees the parameters. Any Python
/// object that a coroutine holds across a `co_await` belongs in one, unless
/// it is a parameter: held in a plain `nb::object`, it is invisible to the
/// collector, and a reference cycle running through it (the coroutine's task
/// reachable from the object, say) is never collected.
///
///     bridge::Local<nb::list> recipients = nb::list(...);
///
/// Made outside a running coroutine frame it is an ordinary object.
template <typename T = nb::object> class Local : public T {
public:
    // Attribute and item accessors convert through their own operator.
    template <typename... A>
        requires(std::is_constructible_v<T, A &&...> &&
                 !(detail::is_accessor<std::remove_cvref_t<A>>::value || ...))
    Local(A &&...args) : T(std::forward<A>(args)...) {
        enter();
    }
    Local(const Local &) = delete;
    Local &operator=(const Local &) = delete;
    template <typename U>
        requires std::is_constructible_v<T, U &&>
    Local &operator=(U &&value) {
        T::operator=(T(std::forward<U>(value)));
        return *this;
    }
    ~Local() {
        if (promise_)
            promise_->forget(link_);
    }

private:
    void enter() {
        promise_ = detail::Promise::running();
        if (promise_)
            promise_->hold(link_, this);
    }
    detail::Promise *promise_ = nullptr;
    detail::HeldLink link_;
};

/// `co_await outcome(x)`: awaits `x` (a Python awaitable or a `Coro`) and
/// gives an `Outcome` instead of throwing its error.
template <typename A> detail::Await<detail::AwaitMode::outcome> outcome(A &&awaitable) {
    return detail::Await<detail::AwaitMode::outcome>(
        detail::iterator_of(std::forward<A>(awaitable)));
}
template <typename U> detail::Await<detail::AwaitMode::outcome> outcome(Coro<U> &&coro) {
    return detail::Await<detail::AwaitMode::outcome>(
        awaitable_iterator(std::move(coro).to_python()));
}

/// `co_await propagating(x)`: awaits `x` for its value; an error ends this
/// coroutine with that error without a C++ exception. Only for awaits that
/// no `try` block of the frame surrounds (its `catch` would not run).
template <typename A> detail::Await<detail::AwaitMode::propagating> propagating(A &&awaitable) {
    return detail::Await<detail::AwaitMode::propagating>(
        detail::iterator_of(std::forward<A>(awaitable)));
}
template <typename U>
detail::Await<detail::AwaitMode::propagating, U> propagating(Coro<U> &&coro) {
    return detail::Await<detail::AwaitMode::propagating, U>(
        awaitable_iterator(std::move(coro).to_python()));
}

/// `co_await raise(error)`: ends this coroutine with `error`, as throwing it
/// out of the frame would, without a C++ exception (no `catch` of the frame
/// runs; use it where none would catch it).
inline detail::Raise raise(nb::python_error error) { return detail::Raise(std::move(error)); }

/// A C++20 coroutine with a result of type `T`, awaitable from Python.
template <typename T> class [[nodiscard]] Coro {
    struct PromiseResult : detail::PromiseAwaits {
        void return_value(T value) {
            if constexpr (std::is_same_v<T, nb::object>)
                this->set_result(std::move(value));
            else
                this->set_result(nb::cast(std::move(value)));
        }
    };
    struct PromiseVoid : detail::PromiseAwaits {
        void return_void() { this->set_result(nb::none()); }
    };

public:
    struct promise_type
        : std::conditional_t<std::is_void_v<T>, PromiseVoid, PromiseResult> {
        promise_type() = default;
        template <typename... Args> explicit promise_type(Args &...args) {
            this->remember(args...);
        }
        Coro get_return_object() {
            return Coro(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
    };

    Coro(Coro &&other) noexcept
        : handle_(std::exchange(other.handle_, {})), qualname_(other.qualname_) {}
    Coro(const Coro &) = delete;
    ~Coro() {
        if (handle_)
            handle_.destroy();
    }

    /// Names the Python coroutine object (its `__qualname__`).
    Coro &&named(const char *qualname) && {
        qualname_ = qualname;
        return std::move(*this);
    }

    /// Hands the frame over to a new Python coroutine object.
    nb::object to_python() && {
        auto handle = std::exchange(handle_, {});
        return detail::make_coroutine_object(handle, &handle.promise(), qualname_);
    }

private:
    explicit Coro(std::coroutine_handle<promise_type> handle) : handle_(handle) {}
    std::coroutine_handle<promise_type> handle_;
    const char *qualname_ = nullptr;
};

} // namespace ombrel::bridge

namespace nanobind::detail {

template <typename T> struct type_caster<ombrel::bridge::Coro<T>> {
    using Value = ombrel::bridge::Coro<T>;
    static constexpr auto Name =
        const_name("collections.abc.Coroutine[typing.Any, typing.Any, ") +
        const_name<std::is_void_v<T>>(const_name("None"),
                                      make_caster<std::conditional_t<
                                          std::is_void_v<T>, int, T>>::Name) +
        const_name("]");
    template <typename U> using Cast = movable_cast_t<U>;
    template <typename U> static constexpr bool can_cast() { return true; }

    static handle from_cpp(Value &&value, rv_policy, cleanup_list *) noexcept {
        try {
            return std::move(value).to_python().release();
        } catch (python_error &e) {
            e.restore();
            return handle();
        } catch (...) {
            PyErr_SetString(PyExc_RuntimeError, "could not create coroutine");
            return handle();
        }
    }
    bool from_python(handle, uint8_t, cleanup_list *) noexcept { return false; }
};

} // namespace nanobind::detail
