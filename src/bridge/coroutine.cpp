// Driving a C++ coroutine frame the way a Python coroutine is driven: each
// send or throw goes into the awaitable it waits on, as `yield from` does,
// and the frame resumes when that awaitable is done.
#include "coroutine.h"

#include "errors.h"

#include <utility>

namespace ombrel::bridge {

// ---------------------------------------------------------------------------
// Promise

void PromiseBase::unhandled_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error &e) {
        python_failure.emplace(std::move(e));
    } catch (...) {
        cpp_failure = std::current_exception();
    }
}

PromiseBase *&PromiseBase::running() noexcept {
    thread_local PromiseBase *promise = nullptr;
    return promise;
}

nb::object PromiseBase::take_await_result() {
    if (await_error) {
        nb::python_error error = std::move(*await_error);
        await_error.reset();
        throw error;
    }
    return std::exchange(await_value, nb::object());
}

static bool is_iterable_coroutine(nb::handle generator) {
    constexpr long co_iterable_coroutine = 0x100;  // CO_ITERABLE_COROUTINE
    nb::object flags = nb::getattr(generator, "gi_code").attr("co_flags");
    return (nb::cast<long>(flags) & co_iterable_coroutine) != 0;
}

nb::object awaitable_iterator(nb::handle awaitable) {
    PyObject *object = awaitable.ptr();
    if (PyCoro_CheckExact(object) ||
        (PyGen_CheckExact(object) && is_iterable_coroutine(awaitable)))
        return nb::borrow(awaitable);

    auto am_await = (unaryfunc) PyType_GetSlot(Py_TYPE(object), Py_am_await);
    if (!am_await)
        nb::raise_type_error("object %s can't be used in 'await' expression",
                             Py_TYPE(object)->tp_name);
    nb::object iterator = nb::steal(am_await(object));
    if (!iterator.is_valid())
        throw nb::python_error();
    if (PyCoro_CheckExact(iterator.ptr()))
        nb::raise_type_error("__await__() returned a coroutine");
    if (!PyIter_Check(iterator.ptr()))
        nb::raise_type_error("__await__() returned non-iterator of type '%s'",
                             Py_TYPE(iterator.ptr())->tp_name);
    return iterator;
}

// ---------------------------------------------------------------------------
// Driving the frame

CoroutineObject::CoroutineObject(std::coroutine_handle<> handle,
                                 PromiseBase *promise, nb::str qualname)
    : qualname(std::move(qualname)), handle_(handle), promise_(promise) {
    nb::object last = this->qualname.attr("rpartition")(".")[2];
    name = nb::str(last);
}

CoroutineObject::CoroutineObject(CoroutineObject &&other) noexcept
    : qualname(std::move(other.qualname)), name(std::move(other.name)),
      handle_(std::exchange(other.handle_, {})),
      promise_(std::exchange(other.promise_, nullptr)),
      started_(other.started_), running_(other.running_) {}

CoroutineObject::~CoroutineObject() {
    finalize(nullptr);
}

void CoroutineObject::finalize(PyObject *self) noexcept {
    if (!handle_)
        return;
    nb::error_scope keep_current_error;
    PyObject *culprit = self ? self : qualname.ptr();
    if (!started_) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "coroutine '%U' was never awaited",
                             qualname.ptr()) < 0)
            PyErr_WriteUnraisable(culprit);
    } else if (PyObject *closed = close()) {
        Py_DECREF(closed);
    } else {
        PyErr_WriteUnraisable(culprit);
    }
    release();
}

void CoroutineObject::release() noexcept {
    if (auto handle = std::exchange(handle_, {})) {
        promise_ = nullptr;
        handle.destroy();
    }
}

nb::object CoroutineObject::awaiting() const {
    if (!promise_ || !promise_->awaiting.is_valid())
        return nb::none();
    return promise_->awaiting;
}

int CoroutineObject::traverse(visitproc visit, void *arg) const {
    if (!promise_)
        return 0;
    Py_VISIT(promise_->awaiting.ptr());
    Py_VISIT(promise_->await_value.ptr());
    Py_VISIT(promise_->result.ptr());
    if (promise_->await_error)
        Py_VISIT(promise_->await_error->value().ptr());
    if (promise_->python_failure)
        Py_VISIT(promise_->python_failure->value().ptr());
    for (const nb::handle *held : promise_->held)
        Py_VISIT(held->ptr());
    return 0;
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

/// `iterator.close()` where it has one, as `yield from` closes what it
/// delegates to. -1 with the error set when that failed.
static int close_iterator(PyObject *iterator) noexcept {
    if (!iterator)
        return 0;
    PyObject *method = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    if (PyObject_GetOptionalAttr(iterator, nb::str("close").ptr(), &method) < 0)
        PyErr_WriteUnraisable(iterator);
#else
    method = PyObject_GetAttrString(iterator, "close");
    if (!method) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError))
            PyErr_Clear();
        else
            PyErr_WriteUnraisable(iterator);
    }
#endif
    if (!method)
        return 0;
    PyObject *closed = PyObject_CallNoArgs(method);
    Py_DECREF(method);
    if (!closed)
        return -1;
    Py_DECREF(closed);
    return 0;
}

/// `iterator.throw(error)`, as `yield from` forwards a thrown exception; an
/// iterator without `throw` gets the error raised at its await instead.
static PySendResult throw_into(PyObject *iterator, PyObject *error,
                               PyObject **out) {
    PyObject *method = PyObject_GetAttrString(iterator, "throw");
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return PYGEN_ERROR;
        PyErr_Clear();
        raise_object(error);
#if PY_VERSION_HEX >= 0x030C0000
        // Since 3.12 a StopIteration raised at an await is that await's
        // result, wherever it comes from.
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            nb::python_error stop;
            *out = nb::getattr(stop.value(), "value", nb::none()).release().ptr();
            return PYGEN_RETURN;
        }
#endif
        return PYGEN_ERROR;
    }
    PyObject *yielded = PyObject_CallOneArg(method, error);
    Py_DECREF(method);
    if (yielded) {
        *out = yielded;
        return PYGEN_NEXT;
    }
    if (!PyErr_ExceptionMatches(PyExc_StopIteration))
        return PYGEN_ERROR;
    nb::python_error stop;
    *out = nb::getattr(stop.value(), "value", nb::none()).release().ptr();
    return PYGEN_RETURN;
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
        closed = std::move(promise_->awaiting);
        if (close_iterator(closed.ptr()) == 0)
            raise_object(error);
        status = PYGEN_ERROR;
    } else if (error) {
        status = throw_into(promise_->awaiting.ptr(), error, &produced);
    } else {
        status = PyIter_Send(promise_->awaiting.ptr(), value, &produced);
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
    promise_->awaiting.reset();
    if (status == PYGEN_RETURN)
        promise_->await_value = nb::steal(produced);
    else
        promise_->await_error.emplace();
}

PySendResult CoroutineObject::run(PyObject **out) noexcept {
    for (;;) {
        PromiseBase *outer = std::exchange(PromiseBase::running(), promise_);
        handle_.resume();
        PromiseBase::running() = outer;
        if (handle_.done())
            return finish(out);
        // A new await: its first step, as `await` takes it at once.
        PyObject *produced = nullptr;
        PySendResult status = PyIter_Send(promise_->awaiting.ptr(), Py_None, &produced);
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
        std::move(promise_->python_failure);
    std::exception_ptr cpp_failure = promise_->cpp_failure;
    nb::object result = std::move(promise_->result);
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
    nb::object iterator = std::move(promise_->awaiting);
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
#if PY_VERSION_HEX < 0x030D0000
    // Before 3.13, close() gives None even when the coroutine returned.
    Py_DECREF(result);
    result = Py_NewRef(Py_None);
#endif
    return result;
}

} // namespace ombrel::bridge
