// The Python-visible coroutine object: owns a bridge coroutine's frame and
// drives it as the interpreter drives a native coroutine. Used by the
// bridge's own sources only.
#pragma once

#include "bridge/detail/promise.h"
#include "bridge/detail/state.h"

#include <nanobind/nanobind.h>

#include <coroutine>
#include <utility>

namespace ombrel::bridge::detail {

namespace nb = nanobind;

/// Owns the frame and drives it.
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
inline PyTypeObject *coroutine_type() noexcept { return state().coroutine_type; }
/// What `coroutine.__await__()` gives for one of this module's coroutines:
/// a new `_CoroutineAwait` iterator that drives it.
nb::object new_await_iterator(nb::handle coroutine);
/// The coroutine that `iterator` drives when it is one of this module's
/// `_Coroutine`s (another coroutine awaits it as it is) or `_CoroutineAwait`s,
/// else null.
CoroutineObject *driven_coroutine(PyObject *iterator) noexcept;

/// In leak-check builds: at interpreter exit, drops the references that
/// interpreter caches (asyncio's sets of known coroutine types) hold to
/// `type`, so that the check at exit reports only real leaks. Does nothing
/// in other builds.
void forget_type_at_exit(nb::handle type);

} // namespace ombrel::bridge::detail
