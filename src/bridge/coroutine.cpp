#include "coroutine.h"

#include "errors.h"

#include <nanobind/eval.h>

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

nb::object aiter(nb::handle iterable) {
    PyObject *iterator = PyObject_GetAIter(iterable.ptr());
    if (!iterator)
        throw nb::python_error();
    return nb::steal(iterator);
}

nb::object NextItem::awaitable() const {
    auto anext = (unaryfunc) PyType_GetSlot(Py_TYPE(iterator_.ptr()), Py_am_anext);
    if (!anext)
        nb::raise_type_error("'async for' requires an iterator with __anext__ method, got %s",
                             Py_TYPE(iterator_.ptr())->tp_name);
    PyObject *awaitable = anext(iterator_.ptr());
    if (!awaitable)
        throw nb::python_error();
    return nb::steal(awaitable);
}

nb::object NextItemAwaiter::await_resume() {
    try {
        return promise.take_await_result();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_StopAsyncIteration))
            throw;
    }
    return nb::object();
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

// ---------------------------------------------------------------------------
// The Python type

static CoroutineObject &coroutine_of(PyObject *self) {
    return *nb::inst_ptr<CoroutineObject>(self);
}

static PyObject *coroutine_am_await(PyObject *self) { return Py_NewRef(self); }

static PySendResult coroutine_am_send(PyObject *self, PyObject *value,
                                      PyObject **result) {
    return coroutine_of(self).step(value, nullptr, result);
}

static PyObject *coroutine_iternext(PyObject *self) {
    PyObject *out = nullptr;
    switch (coroutine_of(self).step(Py_None, nullptr, &out)) {
        case PYGEN_NEXT: return out;
        case PYGEN_RETURN:
            if (out != Py_None)
                set_stop_iteration(out);
            Py_DECREF(out);
            return nullptr;
        default: return nullptr;
    }
}

static int coroutine_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    return coroutine_of(self).traverse(visit, arg);
}

static int coroutine_clear(PyObject *self) {
    if (nb::inst_ready(self))
        coroutine_of(self).release();
    return 0;
}

static PyType_Slot coroutine_slots[] = {
    {Py_am_await, (void *) coroutine_am_await},
    {Py_am_send, (void *) coroutine_am_send},
    {Py_tp_iternext, (void *) coroutine_iternext},
    {Py_tp_traverse, (void *) coroutine_traverse},
    {Py_tp_clear, (void *) coroutine_clear},
    {0, nullptr},
};

/// What one step produced, as a Python method returns it.
static nb::object method_result(PySendResult status, PyObject *out) {
    if (status == PYGEN_NEXT)
        return nb::steal(out);
    if (status == PYGEN_RETURN) {
        set_stop_iteration(out);
        Py_DECREF(out);
    }
    throw nb::python_error();
}

/// The exception that `throw(typ, val, tb)` raises, built as the
/// interpreter builds it for generators.
static nb::object thrown_exception(nb::handle type, nb::handle value,
                                   nb::handle traceback) {
    if (!traceback.is_none() && !PyTraceBack_Check(traceback.ptr()))
        nb::raise_type_error("throw() third argument must be a traceback object");
    nb::object exception;
    if (PyExceptionClass_Check(type.ptr())) {
        if (!value.is_none() && PyObject_IsInstance(value.ptr(), type.ptr()) == 1)
            exception = nb::borrow(value);
        else if (value.is_none())
            exception = type();
        else if (PyTuple_Check(value.ptr()))
            exception = nb::steal(PyObject_Call(type.ptr(), value.ptr(), nullptr));
        else
            exception = type(value);
        if (!exception.is_valid())
            throw nb::python_error();
    } else if (PyExceptionInstance_Check(type.ptr())) {
        if (!value.is_none())
            nb::raise_type_error("instance exception may not have a separate value");
        exception = nb::borrow(type);
    } else {
        nb::raise_type_error(
            "exceptions must be classes or instances deriving from "
            "BaseException, not %s", Py_TYPE(type.ptr())->tp_name);
    }
    if (!traceback.is_none())
        PyException_SetTraceback(exception.ptr(), traceback.ptr());
    return exception;
}

void register_coroutine_type(nb::module_ &m) {
    nb::class_<CoroutineObject>(
        m, "_Coroutine", nb::type_slots(coroutine_slots),
        "A coroutine implemented in C++. It behaves like the coroutine object "
        "of an ``async def`` function: await it, or hand it to "
        "``asyncio.create_task``.")
        .def("send",
             [](CoroutineObject &self, nb::handle value) {
                 PyObject *out = nullptr;
                 PySendResult status = self.step(value.ptr(), nullptr, &out);
                 return method_result(status, out);
             },
             nb::arg("value").none(),
             "send(value) -> next yielded value, or raise StopIteration.")
        .def("throw",
             [](CoroutineObject &self, nb::handle type, nb::handle value,
                nb::handle traceback) {
#if PY_VERSION_HEX >= 0x030C0000
                 if (!value.is_none() || !traceback.is_none()) {
                     if (PyErr_WarnEx(PyExc_DeprecationWarning,
                                      "the (type, exc, tb) signature of throw() is "
                                      "deprecated, use the single-arg signature instead.",
                                      1) < 0)
                         throw nb::python_error();
                 }
#endif
                 nb::object exception = thrown_exception(type, value, traceback);
                 PyObject *out = nullptr;
                 PySendResult status = self.step(Py_None, exception.ptr(), &out);
                 return method_result(status, out);
             },
             nb::arg("typ"), nb::arg("val").none() = nb::none(),
             nb::arg("tb").none() = nb::none(),
             "throw(value)\nthrow(type[,value[,traceback]])\n\n"
             "Raise exception in coroutine, return next yielded value or raise "
             "StopIteration.")
        .def("close",
             [](CoroutineObject &self) {
                 PyObject *result = self.close();
                 if (!result)
                     throw nb::python_error();
                 return nb::steal(result);
             },
             "close() -> raise GeneratorExit inside coroutine.")
        .def("__repr__",
             [](nb::handle self) {
                 return nb::str("<coroutine object {} at {}>")
                     .format(coroutine_of(self.ptr()).qualname,
                             nb::str(nb::int_((uintptr_t) self.ptr()).attr("__format__")("#x")));
             })
        .def_prop_ro("cr_running", &CoroutineObject::running)
        .def_prop_ro("cr_suspended",
                     [](CoroutineObject &self) {
                         return self.started() && !self.running() && !self.finished();
                     })
        .def_prop_ro("cr_await", &CoroutineObject::awaiting)
        .def_prop_ro("cr_frame", [](CoroutineObject &) { return nb::none(); });

    // `__name__` and `__qualname__` of instances: the type's own attributes
    // of these names belong to the metatype, so the descriptors go straight
    // into the type's dictionary, as for native coroutines.
    nb::handle type = nb::type<CoroutineObject>();
    nb::object property = nb::module_::import_("builtins").attr("property");
    nb::object qualname = property(
        nb::cpp_function([](CoroutineObject &self) { return self.qualname; }),
        nb::cpp_function([](CoroutineObject &self, nb::str value) { self.qualname = std::move(value); }));
    nb::object name = property(
        nb::cpp_function([](CoroutineObject &self) { return self.name; }),
        nb::cpp_function([](CoroutineObject &self, nb::str value) { self.name = std::move(value); }));
    PyObject *dict = ((PyTypeObject *) type.ptr())->tp_dict;
    if (PyDict_SetItemString(dict, "__qualname__", qualname.ptr()) < 0 ||
        PyDict_SetItemString(dict, "__name__", name.ptr()) < 0)
        throw nb::python_error();
    PyType_Modified((PyTypeObject *) type.ptr());
    forget_type_at_exit(type);
}

void forget_type_at_exit([[maybe_unused]] nb::handle type) {
#if defined(OMBREL_LEAK_CHECK)
    nb::dict scope;
    scope["TYPE"] = type;
    nb::exec(R"(
import atexit, gc

def forget(type_):
    for referrer in gc.get_referrers(type_):
        if isinstance(referrer, set):
            referrer.discard(type_)

atexit.register(forget, TYPE)
)", scope);
#endif
}

nb::object make_coroutine_object(std::coroutine_handle<> handle,
                                 PromiseBase *promise, const char *qualname) {
    nb::handle type = nb::type<CoroutineObject>();
    if (!type.is_valid()) {
        handle.destroy();
        throw std::runtime_error("the coroutine type is not registered");
    }
    nb::object self = nb::inst_alloc(type);
    new (nb::inst_ptr<CoroutineObject>(self))
        CoroutineObject(handle, promise, nb::str(qualname ? qualname : "coroutine"));
    nb::inst_mark_ready(self);
    return self;
}

} // namespace ombrel::bridge
