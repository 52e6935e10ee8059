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

#include <array>
#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

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

/// In leak-check builds: at interpreter exit, drops the references that
/// interpreter caches (asyncio's sets of known coroutine types) hold to
/// `type`, so that the check at exit reports only real leaks. Does nothing
/// in other builds.
void forget_type_at_exit(nb::handle type);

namespace detail {

class CoroutineObject;

/// What the awaiting code gets when an await ends.
enum class AwaitMode : std::uint8_t {
    throwing,     ///< the value, or the error thrown at the `co_await`
    outcome,      ///< an `Outcome`
    propagating,  ///< the value; an error ends the coroutine
};

/// An awaitable already turned into its iterator, with the way its end is
/// taken and the C++ type of its value.
template <AwaitMode Mode, typename T = nb::object> class Await {
public:
    explicit Await(nb::object iterator) : iterator_(std::move(iterator)) {}
    nb::object take_iterator() { return std::move(iterator_); }

private:
    nb::object iterator_;
};

/// The error a coroutine ends with through `co_await raise(error)`.
class Raise {
public:
    explicit Raise(nb::python_error error) : error_(std::move(error)) {}
    nb::python_error take() { return std::move(error_); }

private:
    nb::python_error error_;
};

/// The Python objects among the parameters of a coroutine function, so that
/// the garbage collector sees what the frame keeps alive.
class HeldParameters {
public:
    static constexpr std::size_t capacity = 8;

    template <typename... Args> void remember(Args &...args) {
        static_assert((0 + ... + (is_owning<Args>() ? 1 : 0)) <= capacity,
                      "too many Python-object parameters for one coroutine");
        (remember_one(args), ...);
    }
    int traverse(visitproc visit, void *arg) const {
        for (std::size_t i = 0; i < count_; ++i)
            Py_VISIT(held_[i]->ptr());
        return 0;
    }

private:
    // Only owning references: reporting a borrowed `nb::handle` to the
    // collector would let it free an object that is still in use.
    template <typename A> static constexpr bool is_owning() {
        return std::is_base_of_v<nb::object, std::remove_cvref_t<A>>;
    }
    template <typename A> void remember_one(A &arg) {
        if constexpr (is_owning<A>())
            held_[count_++] = &arg;
    }

    std::array<const nb::handle *, capacity> held_{};
    std::uint8_t count_ = 0;
};

/// An entry of a frame's list of held objects (see `Promise::hold`).
struct HeldLink {
    const nb::handle *object = nullptr;
    HeldLink *prev = nullptr;
    HeldLink *next = nullptr;
};

/// The part of a coroutine's promise that does not depend on its result
/// type: the await in progress and how the coroutine ended. The frame's
/// driver (`CoroutineObject`) and the awaiters talk to it.
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

/// The awaiter behind every `co_await` of a Python awaitable or a C++
/// coroutine: suspends on the iterator and takes the await's end as `Mode`
/// says, the value cast to `T`.
template <AwaitMode Mode, typename T> class Awaiter {
public:
    Awaiter(Promise &promise, nb::object iterator)
        : promise_(promise), iterator_(std::move(iterator)) {}

    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<>) noexcept {
        return promise_.start_await(std::move(iterator_), Mode);
    }
    auto await_resume() {
        if constexpr (Mode == AwaitMode::outcome) {
            return promise_.take_outcome();
        } else {
            nb::object value = promise_.take_value();
            if constexpr (std::is_void_v<T>)
                return;
            else if constexpr (std::is_same_v<T, nb::object>)
                return value;
            else
                return nb::cast<T>(value);
        }
    }

private:
    Promise &promise_;
    nb::object iterator_;
};

/// The awaiter behind `co_await anext(iterator)`: the item, or an empty
/// object at StopAsyncIteration.
class NextItemAwaiter {
public:
    NextItemAwaiter(Promise &promise, nb::object iterator)
        : promise_(promise), iterator_(std::move(iterator)) {}

    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<>) noexcept {
        return promise_.start_await(std::move(iterator_), AwaitMode::throwing);
    }
    nb::object await_resume();

private:
    Promise &promise_;
    nb::object iterator_;
};

/// An await whose first step someone else took: its iterator and what that
/// step yielded.
class TakenOver {
public:
    TakenOver(nb::object iterator, nb::object yielded)
        : iterator_(std::move(iterator)), yielded_(std::move(yielded)) {}
    nb::object take_iterator() { return std::move(iterator_); }
    nb::object take_yielded() { return std::move(yielded_); }

private:
    nb::object iterator_;
    nb::object yielded_;
};

/// The awaiter behind `co_await TakenOver`: yields what the first step
/// yielded, then drives the iterator as any await.
class TakenOverAwaiter {
public:
    TakenOverAwaiter(Promise &promise, TakenOver &&await)
        : promise_(promise), await_(std::move(await)) {}

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<>) noexcept {
        promise_.begin_taken_over_await(await_.take_iterator(), await_.take_yielded());
    }
    nb::object await_resume() { return promise_.take_value(); }

private:
    Promise &promise_;
    TakenOver await_;
};

/// The awaiter behind `co_await raise(error)`: never resumes.
class RaiseAwaiter {
public:
    RaiseAwaiter(Promise &promise, Raise &&raise) : promise_(promise), raise_(std::move(raise)) {}

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<>) noexcept { promise_.begin_raise(raise_.take()); }
    void await_resume() const noexcept {}

private:
    Promise &promise_;
    Raise raise_;
};

template <typename O>
concept OwnedObject = std::is_base_of_v<nb::object, std::remove_cvref_t<O>> &&
                      !std::is_lvalue_reference_v<O>;

/// Adds the forms of `co_await` to the promise.
class PromiseAwaits : public Promise {
public:
    NextItemAwaiter await_transform(NextItem &&next) {
        return NextItemAwaiter(*this, awaitable_iterator(next.awaitable()));
    }
    Awaiter<AwaitMode::throwing, nb::object> await_transform(nb::handle awaitable) {
        return {*this, awaitable_iterator(awaitable)};
    }
    /// An owned temporary is handed on, so that no reference to it stays
    /// hidden in the frame while it is awaited.
    template <OwnedObject O>
    Awaiter<AwaitMode::throwing, nb::object> await_transform(O &&awaitable) {
        return {*this, awaitable_iterator(nb::object(std::move(awaitable)))};
    }
    template <typename U> Awaiter<AwaitMode::throwing, U> await_transform(Coro<U> &&coro) {
        return {*this, awaitable_iterator(std::move(coro).to_python())};
    }
    template <AwaitMode Mode, typename U>
    Awaiter<Mode, U> await_transform(Await<Mode, U> &&await) {
        return {*this, await.take_iterator()};
    }
    RaiseAwaiter await_transform(Raise &&raise) { return {*this, std::move(raise)}; }
    /// The bridge's own awaitables that bring their awaiter (`sleep_for`,
    /// `wait_within`).
    template <typename A>
        requires requires(A &&a, Promise &p) { std::move(a).awaiter(p); }
    auto await_transform(A &&awaitable) {
        return std::move(awaitable).awaiter(*this);
    }
    TakenOverAwaiter await_transform(TakenOver &&await) { return {*this, std::move(await)}; }
};

/// The Python-visible coroutine object: owns the frame and drives it.
class CoroutineObject {
public:
    CoroutineObject(std::coroutine_handle<> handle, Promise *promise,
                    const char *qualname) noexcept;
    CoroutineObject(CoroutineObject &&other) noexcept;
    CoroutineObject(const CoroutineObject &) = delete;
    CoroutineObject &operator=(const CoroutineObject &) = delete;
    CoroutineObject &operator=(CoroutineObject &&) = delete;
    ~CoroutineObject();

    /// One step, in the manner of `PyIter_Send`: PYGEN_NEXT with the value to
    /// yield, PYGEN_RETURN with the result, or PYGEN_ERROR with the error set.
    /// `error` (borrowed, may be null) is thrown in instead of sending `value`.
    PySendResult step(PyObject *value, PyObject *error, PyObject **out) noexcept;
    /// `close()`: GeneratorExit in, the frame released. Null with the error
    /// set on failure, else a new reference to the result (usually None).
    PyObject *close() noexcept;

    /// Release the frame without running any more of its code.
    void release() noexcept;
    /// What a coroutine gets when it is no longer referenced: a suspended
    /// one is closed (its clean-up runs), one that never ran warns "was
    /// never awaited"; errors go to `sys.unraisablehook` naming `self`
    /// (the Python object; may be null).
    void finalize(PyObject *self) noexcept;

    bool running() const { return running_; }
    bool finished() const { return !handle_; }
    bool started() const { return started_; }
    nb::object awaiting() const;

    /// `__qualname__` and `__name__`: made from the function's name when
    /// first asked for, replaced by assignment.
    nb::str qualname() const;
    nb::str name() const;
    void set_qualname(nb::str value) { qualname_ = std::move(value); }
    void set_name(nb::str value) { name_ = std::move(value); }

    int traverse(visitproc visit, void *arg) const;

private:
    PySendResult step_guarded(PyObject *value, PyObject *error, PyObject **out) noexcept;
    /// Resumes the frame with the outcome of its await and drives it until
    /// it waits on something that is not done yet, or ends.
    PySendResult run(PyObject **out) noexcept;
    /// Records how the await ended: PYGEN_RETURN with its result, else the
    /// error that is set.
    void end_await(PySendResult status, PyObject *produced) noexcept;
    PySendResult advance(PyObject *value, PyObject *error, PyObject **out) noexcept;
    PySendResult finish(PyObject **out) noexcept;

    std::coroutine_handle<> handle_;
    Promise *promise_ = nullptr;
    const char *qualname_text_;
    mutable nb::object qualname_;
    mutable nb::object name_;
    bool started_ = false;
    bool running_ = false;
};

/// This module's `_Coroutine` type (null until registered).
PyTypeObject *coroutine_type() noexcept;
/// What `coroutine.__await__()` gives for one of this module's coroutines:
/// a new `_CoroutineAwait` iterator that drives it.
nb::object new_await_iterator(nb::handle coroutine);
/// The coroutine that `iterator` drives when it is one of this module's
/// `_Coroutine`s (another coroutine awaits it as it is) or `_CoroutineAwait`s,
/// else null.
CoroutineObject *driven_coroutine(PyObject *iterator) noexcept;

/// Wraps a coroutine frame in a new Python `_Coroutine` object.
nb::object make_coroutine_object(std::coroutine_handle<> handle, Promise *promise,
                                 const char *qualname);

/// The iterator of what an `outcome`/`propagating` await takes.
inline nb::object iterator_of(nb::handle awaitable) { return awaitable_iterator(awaitable); }
template <OwnedObject O> nb::object iterator_of(O &&awaitable) {
    return awaitable_iterator(nb::object(std::move(awaitable)));
}

} // namespace detail

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
namespace detail {
template <typename U> struct is_accessor : std::false_type {};
template <typename I> struct is_accessor<nb::detail::accessor<I>> : std::true_type {};
} // namespace detail

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
