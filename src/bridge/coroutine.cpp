// Driving a C++ coroutine frame the way a Python coroutine is driven: each
// send or throw goes into the awaitable it waits on, as `yield from` does,
// and the frame resumes when that awaitable is done.
#include "bridge/coroutine.h"

#include "bridge/detail/coroutine_object.h"
#include "bridge/detail/state.h"
#include "bridge/errors.h"

#include "common/capi.h"

#include <cstring>
#include <utility>

namespace ombrel::bridge {

// ---------------------------------------------------------------------------
// Promise

namespace detail {

void Promise::unhandled_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error &e) {
        python_failure_.emplace(std::move(e));
    } catch (...) {
        cpp_failure_ = std::current_exception();
    }
}

Promise *&Promise::running() noexcept {
    thread_local Promise *promise = nullptr;
    return promise;
}

bool Promise::start_await(nb::object iterator, AwaitMode mode) noexcept {
    begin_await(std::move(iterator), mode);
    PyObject *produced = nullptr;
    PySendResult status = PyIter_Send(awaiting_.ptr(), Py_None, &produced);
    if (status == PYGEN_NEXT) {
        // The loop gets what it yielded as the frame suspends.
        yielded_ = nb::steal(produced);
        return true;
    }
    awaiting_.reset();
    if (status == PYGEN_RETURN) {
        await_value_ = nb::steal(produced);
        return false;
    }
    await_error_.emplace();
    // A failed `propagating` await ends the frame where it waits.
    return mode == AwaitMode::propagating;
}

nb::object Promise::take_value() {
    if (await_error_) {
        nb::python_error error = std::move(*await_error_);
        await_error_.reset();
        throw error;
    }
    return std::exchange(await_value_, nb::object());
}

Outcome Promise::take_outcome() {
    if (await_error_) {
        Outcome failed(std::move(*await_error_));
        await_error_.reset();
        return failed;
    }
    return Outcome(std::exchange(await_value_, nb::object()));
}

bool Promise::take_error_if(PyObject *type) {
    if (!await_error_ || !await_error_->matches(type))
        return false;
    await_error_.reset();
    return true;
}

} // namespace detail

static bool is_iterable_coroutine(nb::handle generator) {
    constexpr long co_iterable_coroutine = 0x100;  // CO_ITERABLE_COROUTINE
    nb::object flags = nb::getattr(generator, "gi_code").attr("co_flags");
    return (nb::cast<long>(flags) & co_iterable_coroutine) != 0;
}

/// The type's `__await__` slot, read from the type itself.
static unaryfunc await_slot(PyObject *object) { return common::await_slot(Py_TYPE(object)); }

/// Whether `object` is its own await iterator: a native coroutine, a
/// generator-based one, or an iterator whose `__await__` gives itself (what
/// an async generator's `__anext__()` returns, for one), which `await` would
/// take as it is.
static bool awaits_itself(PyObject *object) {
    if (common::is_coroutine_exact(object))
        return true;
    if (common::is_generator_exact(object))
        return is_iterable_coroutine(object);
    return await_slot(object) == PyObject_SelfIter && PyIter_Check(object);
}

static nb::object iterator_from_await_slot(PyObject *object) {
    // One of our coroutines is driven as it is, as `await` drives a native
    // coroutine: no iterator object of its own.
    if (Py_TYPE(object) == detail::coroutine_type())
        return nb::borrow(object);
    unaryfunc am_await = await_slot(object);
    if (!am_await)
        nb::raise_type_error("object %s can't be used in 'await' expression",
                             common::type_name_of(object));
    nb::object iterator = nb::steal(am_await(object));
    if (!iterator.is_valid())
        throw nb::python_error();
    if (common::is_coroutine_exact(iterator.ptr()))
        nb::raise_type_error("__await__() returned a coroutine");
    if (!PyIter_Check(iterator.ptr()))
        nb::raise_type_error("__await__() returned non-iterator of type '%s'",
                             common::type_name_of(iterator.ptr()));
    return iterator;
}

nb::object awaitable_iterator(nb::handle awaitable) {
    if (awaits_itself(awaitable.ptr()))
        return nb::borrow(awaitable);
    return iterator_from_await_slot(awaitable.ptr());
}

nb::object awaitable_iterator(nb::object &&awaitable) {
    if (awaits_itself(awaitable.ptr()))
        return std::move(awaitable);
    return iterator_from_await_slot(awaitable.ptr());
}

// ---------------------------------------------------------------------------
// Driving the frame

namespace detail {

CoroutineObject::CoroutineObject(std::coroutine_handle<> handle, Promise *promise,
                                 const char *qualname) noexcept
    : handle_(handle), promise_(promise),
      qualname_text_(qualname ? qualname : "coroutine") {}

CoroutineObject::CoroutineObject(CoroutineObject &&other) noexcept
    : handle_(std::exchange(other.handle_, {})),
      promise_(std::exchange(other.promise_, nullptr)),
      qualname_text_(other.qualname_text_), qualname_(std::move(other.qualname_)),
      name_(std::move(other.name_)), started_(other.started_), running_(other.running_) {}

CoroutineObject::~CoroutineObject() {
    finalize(nullptr);
}

nb::str CoroutineObject::qualname() const {
    if (!qualname_.is_valid())
        qualname_ = nb::str(qualname_text_);
    return nb::borrow<nb::str>(qualname_);
}

nb::str CoroutineObject::name() const {
    if (!name_.is_valid()) {
        const char *last = std::strrchr(qualname_text_, '.');
        name_ = nb::str(last ? last + 1 : qualname_text_);
    }
    return nb::borrow<nb::str>(name_);
}

void CoroutineObject::finalize(PyObject *self) noexcept {
    if (!handle_)
        return;
    nb::error_scope keep_current_error;
    // Errors are reported against the Python object, or without one (from
    // the destructor) against the coroutine's name.
    PyObject *culprit = self ? Py_NewRef(self)
                        : qualname_.is_valid() ? Py_NewRef(qualname_.ptr())
                                               : PyUnicode_FromString(qualname_text_);
    if (!culprit)
        PyErr_Clear();
    if (!started_) {
        PyObject *name = qualname_.is_valid() ? Py_NewRef(qualname_.ptr())
                                              : PyUnicode_FromString(qualname_text_);
        if (!name || PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                      "coroutine '%U' was never awaited", name) < 0)
            PyErr_WriteUnraisable(culprit);
        Py_XDECREF(name);
    } else if (PyObject *closed = close()) {
        Py_DECREF(closed);
    } else {
        PyErr_WriteUnraisable(culprit);
    }
    Py_XDECREF(culprit);
    release();
}

void CoroutineObject::release() noexcept {
    if (auto handle = std::exchange(handle_, {})) {
        promise_ = nullptr;
        handle.destroy();
    }
}

nb::object CoroutineObject::awaiting() const {
    if (!promise_ || !promise_->awaiting_.is_valid())
        return nb::none();
    return promise_->awaiting_;
}

int CoroutineObject::traverse(visitproc visit, void *arg) const {
    if (!promise_)
        return 0;
    Py_VISIT(promise_->awaiting_.ptr());
    Py_VISIT(promise_->yielded_.ptr());
    Py_VISIT(promise_->await_value_.ptr());
    Py_VISIT(promise_->result_.ptr());
    if (promise_->await_error_)
        Py_VISIT(promise_->await_error_->value().ptr());
    if (promise_->python_failure_)
        Py_VISIT(promise_->python_failure_->value().ptr());
    for (const HeldLink *held = promise_->locals_; held; held = held->next)
        Py_VISIT(held->object->ptr());
    return promise_->held_.traverse(visit, arg);
}

/// Raises `exception` as it stands: its traceback and `__context__` stay as
/// they are (PyErr_SetObject would chain it to the exception being handled
/// by whoever called us, which a thrown exception does not get).
static void raise_object(PyObject *exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(Py_NewRef(exception));
#else
    PyErr_Restore(Py_NewRef((PyObject *) Py_TYPE(exception)), Py_NewRef(exception),
                  PyException_GetTraceback(exception));
#endif
}

/// Sets `failure`, the error that ends the coroutine, as the error to
/// raise: a StopIteration becomes RuntimeError, as for any coroutine
/// (otherwise it would read as the coroutine's return).
static void raise_frame_error(nb::python_error &failure) noexcept {
    if (!failure.matches(PyExc_StopIteration)) {
        failure.restore();
        return;
    }
    nb::object stop = nb::borrow(failure.value());
    PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
    nb::python_error wrapped;
    PyException_SetCause(wrapped.value().ptr(), nb::object(stop).release().ptr());
    PyException_SetContext(wrapped.value().ptr(), stop.release().ptr());
    wrapped.restore();
}

/// `getattr(obj, name, None)`, null when absent; -1 on another error.
static int optional_attr(PyObject *obj, PyObject *name, PyObject **result) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    *result = PyObject_GetAttr(obj, name);
    if (*result)
        return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        return -1;
    PyErr_Clear();
    return 0;
#endif
}

/// `iterator.close()` where it has one, as `yield from` closes what it
/// delegates to. -1 with the error set when that failed.
static int close_iterator(PyObject *iterator) noexcept {
    if (!iterator)
        return 0;
    if (CoroutineObject *coroutine = driven_coroutine(iterator)) {
        PyObject *closed = coroutine->close();
        if (!closed)
            return -1;
        Py_DECREF(closed);
        return 0;
    }
    PyObject *method = nullptr;
    if (optional_attr(iterator, state().names.close.ptr(), &method) < 0)
        PyErr_WriteUnraisable(iterator);
    if (!method)
        return 0;
    PyObject *closed = PyObject_CallNoArgs(method);
    Py_DECREF(method);
    if (!closed)
        return -1;
    Py_DECREF(closed);
    return 0;
}

/// The value a StopIteration being raised carries, as the await's result.
static PySendResult take_stop_value(PyObject **out) noexcept {
    nb::python_error stop;
    PyObject *value = nullptr;
    if (optional_attr(stop.value().ptr(), state().names.value.ptr(), &value) < 0)
        return PYGEN_ERROR;
    *out = value ? value : Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

/// `iterator.throw(error)`, as `yield from` forwards a thrown exception; an
/// iterator without `throw` gets the error raised at its await instead.
static PySendResult throw_into(PyObject *iterator, PyObject *error,
                               PyObject **out) noexcept {
    // One of our coroutines takes the error directly.
    if (CoroutineObject *coroutine = driven_coroutine(iterator))
        return coroutine->step(Py_None, error, out);

    // Native coroutines and generators have `throw`: called as a method,
    // without a bound method made.
    PyObject *yielded;
    if (common::is_coroutine_exact(iterator) || common::is_generator_exact(iterator)) {
        yielded = common::call_method_one_arg(iterator, state().names.throw_.ptr(), error);
    } else {
        PyObject *method = nullptr;
        if (optional_attr(iterator, state().names.throw_.ptr(), &method) < 0)
            return PYGEN_ERROR;
        if (!method) {
            raise_object(error);
#if PY_VERSION_HEX >= 0x030C0000
            // Since 3.12 a StopIteration raised at an await is that await's
            // result, wherever it comes from.
            if (PyErr_ExceptionMatches(PyExc_StopIteration))
                return take_stop_value(out);
#endif
            return PYGEN_ERROR;
        }
        yielded = common::call_one_arg(method, error);
        Py_DECREF(method);
    }
    if (yielded) {
        *out = yielded;
        return PYGEN_NEXT;
    }
    if (!PyErr_ExceptionMatches(PyExc_StopIteration))
        return PYGEN_ERROR;
    return take_stop_value(out);
}

PySendResult CoroutineObject::step(PyObject *value, PyObject *error,
                                   PyObject **out) noexcept {
    *out = nullptr;
    // Coroutines awaiting coroutines nest on the C stack: bounded like Python
    // calls, so that runaway nesting is a RecursionError, not a crash.
    if (Py_EnterRecursiveCall(" while running a coroutine"))
        return PYGEN_ERROR;
    PySendResult status = step_guarded(value, error, out);
    Py_LeaveRecursiveCall();
    return status;
}

PySendResult CoroutineObject::step_guarded(PyObject *value, PyObject *error,
                                           PyObject **out) noexcept {
    if (running_) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    }
    if (!handle_) {
        PyErr_SetString(PyExc_RuntimeError,
                        "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    if (!started_) {
        if (error) {
            // Thrown into a coroutine that never ran: it ends right there.
            started_ = true;
            release();
            raise_object(error);
#if PY_VERSION_HEX < 0x030C0000
            // Before 3.12 the error leaves through the coroutine's first
            // line, where a StopIteration becomes RuntimeError; since then
            // it is raised as it stands.
            nb::python_error failure;
            raise_frame_error(failure);
#endif
            return PYGEN_ERROR;
        }
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError,
                            "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        started_ = true;
        running_ = true;
        return run(out);
    }
    return advance(value ? value : Py_None, error, out);
}

PySendResult CoroutineObject::advance(PyObject *value, PyObject *error,
                                      PyObject **out) noexcept {
    running_ = true;
    PyObject *produced = nullptr;
    PySendResult status;
    nb::object closed;
    if (error && PyErr_GivenExceptionMatches(error, PyExc_GeneratorExit)) {
        // As `yield from` does: what the frame waits on is closed rather
        // than thrown into, then GeneratorExit (or the error of that close)
        // goes into the frame.
        closed = std::move(promise_->awaiting_);
        if (close_iterator(closed.ptr()) == 0)
            raise_object(error);
        status = PYGEN_ERROR;
    } else if (error) {
        status = throw_into(promise_->awaiting_.ptr(), error, &produced);
    } else {
        status = PyIter_Send(promise_->awaiting_.ptr(), value, &produced);
    }
    if (status == PYGEN_NEXT) {
        running_ = false;
        *out = produced;
        return PYGEN_NEXT;
    }
    end_await(status, produced);
    return run(out);
}

void CoroutineObject::end_await(PySendResult status, PyObject *produced) noexcept {
    promise_->awaiting_.reset();
    if (status == PYGEN_RETURN)
        promise_->await_value_ = nb::steal(produced);
    else
        promise_->await_error_.emplace();
}

PySendResult CoroutineObject::run(PyObject **out) noexcept {
    // The frame resumes on this thread: one look-up of the thread's slot
    // serves every resumption of this step.
    Promise *&running = Promise::running();
    for (;;) {
        // An error that ends the frame where it waits: a failed
        // `propagating` await, or `raise`.
        if (promise_->mode_ == AwaitMode::propagating && promise_->await_error_) {
            promise_->python_failure_.emplace(std::move(*promise_->await_error_));
            promise_->await_error_.reset();
            return finish(out);
        }
        Promise *outer = std::exchange(running, promise_);
        handle_.resume();
        running = outer;
        if (handle_.done())
            return finish(out);
        if (!promise_->awaiting_.is_valid())
            continue;  // `raise`: nothing to wait on
        // A new await: its first step, as `await` takes it at once, unless
        // that step was taken before the await was handed to this frame.
        PyObject *produced = nullptr;
        PySendResult status;
        if (promise_->yielded_.is_valid()) {
            produced = promise_->yielded_.release().ptr();
            status = PYGEN_NEXT;
        } else {
            status = PyIter_Send(promise_->awaiting_.ptr(), Py_None, &produced);
        }
        if (status == PYGEN_NEXT) {
            running_ = false;
            *out = produced;
            return PYGEN_NEXT;
        }
        end_await(status, produced);
    }
}

PySendResult CoroutineObject::finish(PyObject **out) noexcept {
    running_ = false;
    std::optional<nb::python_error> python_failure =
        std::move(promise_->python_failure_);
    std::exception_ptr cpp_failure = promise_->cpp_failure_;
    nb::object result = std::move(promise_->result_);
    release();

    if (python_failure) {
        raise_frame_error(*python_failure);
        return PYGEN_ERROR;
    }
    if (cpp_failure) {
        restore_error(cpp_failure);
        return PYGEN_ERROR;
    }
    *out = result.is_valid() ? result.release().ptr() : Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

PyObject *CoroutineObject::close() noexcept {
    if (!handle_)
        return Py_NewRef(Py_None);
    if (running_) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    if (!started_) {
        started_ = true;
        release();
        return Py_NewRef(Py_None);
    }

    // Close what the frame waits on, as `yield from` does; an error from that
    // goes into the frame instead of GeneratorExit.
    running_ = true;
    nb::object iterator = std::move(promise_->awaiting_);
    if (close_iterator(iterator.ptr()) == 0)
        PyErr_SetNone(PyExc_GeneratorExit);
    end_await(PYGEN_ERROR, nullptr);
    iterator.reset();

    PyObject *result = nullptr;
    PySendResult status = run(&result);
    if (status == PYGEN_NEXT) {
        // The frame caught GeneratorExit and waits again: it stays
        // suspended there, as a Python coroutine would.
        Py_DECREF(result);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (status == PYGEN_ERROR) {
        if (!PyErr_ExceptionMatches(PyExc_GeneratorExit))
            return nullptr;
        PyErr_Clear();
        return Py_NewRef(Py_None);
    }
    // Before 3.13, close() gives None even when the coroutine returned.
    if (!common::runs_at_least(0x030D0000)) {
        Py_DECREF(result);
        result = Py_NewRef(Py_None);
    }
    return result;
}

} // namespace detail

} // namespace ombrel::bridge
