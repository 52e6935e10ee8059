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
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace ombrel::bridge {

namespace nb = nanobind;

template <typename T = nb::object> class Coro;

/// The part of a coroutine's promise that does not depend on its result type.
/// The Python object that drives the coroutine talks to this.
class PromiseBase {
public:
    /// Iterator of the Python awaitable the coroutine is suspended on.
    nb::object awaiting;
    /// What the finished await produced: a value or an error.
    nb::object await_value;
    std::optional<nb::python_error> await_error;
    /// How the coroutine ended.
    nb::object result;
    std::optional<nb::python_error> python_failure;
    std::exception_ptr cpp_failure;
    /// Parameters of the coroutine function that hold Python objects, and
    /// its `Local` variables, so that the garbage collector can see what the
    /// frame keeps alive.
    std::vector<const nb::handle *> held;

    /// The promise of the coroutine whose frame runs on this thread now, if
    /// any (what a `Local` made in the frame registers with).
    static PromiseBase *&running() noexcept;
    void forget(const nb::handle *object) noexcept { std::erase(held, object); }

    void unhandled_exception() noexcept;
    /// Hand the outcome of the finished await to the suspended coroutine.
    nb::object take_await_result();
    /// Remember what the awaiting code should see next.
    void begin_await(nb::object iterator) { awaiting = std::move(iterator); }

protected:
    template <typename... Args> void remember(Args &...args) {
        (remember_one(args), ...);
    }

private:
    template <typename A> void remember_one(A &arg) {
        // Only owning references: reporting a borrowed `nb::handle` to the
        // collector would let it free an object that is still in use.
        if constexpr (std::is_base_of_v<nb::object, std::remove_cvref_t<A>>)
            held.push_back(&arg);
    }
};

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
            promise_->forget(this);
    }

private:
    void enter() {
        promise_ = PromiseBase::running();
        if (promise_)
            promise_->held.push_back(this);
    }
    PromiseBase *promise_ = nullptr;
};

/// Turns a Python awaitable into the iterator that drives it (what `await`
/// does before suspending): coroutines and generators as they are, anything
/// else through its `__await__`.
nb::object awaitable_iterator(nb::handle awaitable);

/// The awaiter behind `co_await python_object`.
struct PythonAwaiter {
    PromiseBase &promise;
    nb::object iterator;

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<>) noexcept {
        promise.begin_await(std::move(iterator));
    }
    nb::object await_resume() { return promise.take_await_result(); }
};

/// The awaiter behind `co_await coro` for a C++ coroutine: it is awaited as
/// the Python coroutine object it becomes, and its result cast back to `T`.
template <typename T> struct TypedAwaiter : PythonAwaiter {
    T await_resume() {
        nb::object value = promise.take_await_result();
        if constexpr (std::is_void_v<T>)
            return;
        else if constexpr (std::is_same_v<T, nb::object>)
            return value;
        else
            return nb::cast<T>(value);
    }
};

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

/// The awaiter behind `co_await anext(iterator)`.
struct NextItemAwaiter : PythonAwaiter {
    nb::object await_resume();
};

/// Adds `co_await` of Python awaitables and of other C++ coroutines.
class PromiseAwaits : public PromiseBase {
public:
    NextItemAwaiter await_transform(NextItem &&next) {
        return NextItemAwaiter{{*this, awaitable_iterator(next.awaitable())}};
    }
    PythonAwaiter await_transform(nb::handle awaitable) {
        return PythonAwaiter{*this, awaitable_iterator(awaitable)};
    }
    /// A temporary (`co_await call()`) would hold its object across the
    /// suspension, out of the collector's sight: its reference is taken
    /// over here, and the awaited iterator keeps what it needs.
    PythonAwaiter await_transform(nb::object &&awaitable) {
        nb::object owned = std::move(awaitable);
        return PythonAwaiter{*this, awaitable_iterator(owned)};
    }
    template <typename U> TypedAwaiter<U> await_transform(Coro<U> &&coro) {
        nb::object object = std::move(coro).to_python();
        return TypedAwaiter<U>{{*this, awaitable_iterator(object)}};
    }
};

/// The Python-visible coroutine object: owns the frame and drives it.
class CoroutineObject {
public:
    CoroutineObject(std::coroutine_handle<> handle, PromiseBase *promise,
                    nb::str qualname);
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
    nb::str qualname;
    nb::str name;

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
    PromiseBase *promise_ = nullptr;
    bool started_ = false;
    bool running_ = false;
};

/// Wraps a coroutine frame in a new Python `_Coroutine` object.
nb::object make_coroutine_object(std::coroutine_handle<> handle,
                                 PromiseBase *promise, const char *qualname);

/// A C++20 coroutine with a result of type `T`, awaitable from Python.
template <typename T> class [[nodiscard]] Coro {
    struct PromiseResult : PromiseAwaits {
        void return_value(T value) {
            if constexpr (std::is_same_v<T, nb::object>)
                this->result = std::move(value);
            else
                this->result = nb::cast(std::move(value));
        }
    };
    struct PromiseVoid : PromiseAwaits {
        void return_void() { this->result = nb::none(); }
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
        return make_coroutine_object(handle, &handle.promise(), qualname_);
    }

private:
    explicit Coro(std::coroutine_handle<promise_type> handle) : handle_(handle) {}
    std::coroutine_handle<promise_type> handle_;
    const char *qualname_ = nullptr;
};

/// Registers the `_Coroutine` type in a module; call once from every module
/// that returns coroutines.
void register_coroutine_type(nb::module_ &m);

/// In leak-check builds: at interpreter exit, drops the references that
/// interpreter caches (asyncio's sets of known coroutine types) hold to
/// `type`, so that the check at exit reports only real leaks. Does nothing
/// in other builds.
void forget_type_at_exit(nb::handle type);

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
