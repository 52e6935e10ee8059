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
    if (!handle_)
        return;
    nb::error_scope keep_current_error;
    if (!started_) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "coroutine '%U' was never awaited",
                             qualname.ptr()) < 0)
            PyErr_WriteUnraisable(qualname.ptr());
    } else if (PyObject *closed = close()) {
        Py_DECREF(closed);
    } else {
        PyErr_WriteUnraisable(qualname.ptr());
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

/// `iterator.throw(error)`, as `yield from` forwards a thrown exception; an
/// iterator without `throw` gets the error raised at its await instead.
static PySendResult throw_into(PyObject *iterator, PyObject *error,
                               PyObject **out) {
    PyObject *method = nullptr;
    if (PyObject_HasAttrString(iterator, "throw"))
        method = PyObject_GetAttrString(iterator, "throw");
    if (!method) {
        PyErr_SetObject((PyObject *) Py_TYPE(error), error);
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
            PyErr_SetObject((PyObject *) Py_TYPE(error), error);
            return PYGEN_ERROR;
        }
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError,
                            "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        started_ = true;
        return resume(out);
    }
    return advance(value ? value : Py_None, error, out);
}

PySendResult CoroutineObject::advance(PyObject *value, PyObject *error,
                                      PyObject **out) noexcept {
    running_ = true;
    for (;;) {
        PyObject *produced = nullptr;
        PyObject *iterator = promise_->awaiting.ptr();
        PySendResult status = error ? throw_into(iterator, error, &produced)
                                    : PyIter_Send(iterator, value, &produced);
        error = nullptr;
        value = Py_None;
        if (status == PYGEN_NEXT) {
            running_ = false;
            *out = produced;
            return PYGEN_NEXT;
        }
        promise_->awaiting.reset();
        if (status == PYGEN_RETURN)
            promise_->await_value = nb::steal(produced);
        else
            promise_->await_error.emplace();
        handle_.resume();
        if (handle_.done())
            return finish(out);
    }
}

PySendResult CoroutineObject::resume(PyObject **out) noexcept {
    running_ = true;
    handle_.resume();
    if (handle_.done())
        return finish(out);
    running_ = false;
    return advance(Py_None, nullptr, out);
}

PySendResult CoroutineObject::finish(PyObject **out) noexcept {
    running_ = false;
    std::optional<nb::python_error> python_failure =
        std::move(promise_->python_failure);
    std::exception_ptr cpp_failure = promise_->cpp_failure;
    nb::object result = std::move(promise_->result);
    release();

    if (python_failure) {
        if (python_failure->matches(PyExc_StopIteration)) {
            nb::object cause = nb::borrow(python_failure->value());
            PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
            nb::python_error wrapped;
            PyException_SetCause(wrapped.value().ptr(), cause.release().ptr());
            PyException_SetContext(wrapped.value().ptr(),
                                   nb::borrow(python_failure->value()).release().ptr());
            wrapped.restore();
        } else {
            python_failure->restore();
        }
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
    if (iterator.is_valid() && PyObject_HasAttrString(iterator.ptr(), "close")) {
        PyObject *closed = PyObject_CallMethod(iterator.ptr(), "close", nullptr);
        if (closed)
            Py_DECREF(closed);
    }
    if (!PyErr_Occurred())
        PyErr_SetNone(PyExc_GeneratorExit);
    promise_->await_error.emplace();
    handle_.resume();

    if (!handle_.done()) {
        running_ = false;
        release();
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    PyObject *result = nullptr;
    if (finish(&result) == PYGEN_ERROR) {
        if (!PyErr_ExceptionMatches(PyExc_GeneratorExit))
            return nullptr;
        PyErr_Clear();
        return Py_NewRef(Py_None);
    }
    return result;
}

} // namespace ombrel::bridge
