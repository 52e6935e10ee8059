// The Python type `_Coroutine` that drives a C++ coroutine: its slots
// (`__await__`, `am_send`, `__next__`, garbage collection) and methods.
#include "bridge/coroutine.h"

#include "bridge/detail/coroutine_object.h"
#include "bridge/detail/state.h"
#include "bridge/errors.h"
#include "bridge/slot_method.h"

#include "common/capi.h"

#include <nanobind/eval.h>

#include <utility>

namespace ombrel::bridge {

using detail::CoroutineObject;
using detail::state;

static CoroutineObject &coroutine_of(PyObject *self) {
    return *nb::inst_ptr<CoroutineObject>(self);
}

// `await coroutine` in Python code takes the iterator that `__await__()`
// gives, made here directly.
static PyObject *coroutine_am_await(PyObject *self) {
    try {
        return detail::new_await_iterator(self).release().ptr();
    } catch (...) {
        restore_error(std::current_exception());
        return nullptr;
    }
}

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

// The garbage collector finalizes every object of a cycle before it clears
// any: a suspended coroutine in a cycle is closed as a Python coroutine is,
// while what its frame refers to is still intact.
static void coroutine_finalize(PyObject *self) {
    if (nb::inst_ready(self))
        coroutine_of(self).finalize(self);
}

static int coroutine_clear(PyObject *self) {
    if (nb::inst_ready(self))
        coroutine_of(self).release();
    return 0;
}


/// What one step produced, as a Python method returns it: the value
/// yielded, or null with StopIteration (the result) or the error set.
static PyObject *method_result(PySendResult status, PyObject *out) noexcept {
    if (status == PYGEN_NEXT)
        return out;
    if (status == PYGEN_RETURN) {
        set_stop_iteration(out);
        Py_DECREF(out);
    }
    return nullptr;
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
            "BaseException, not %s", common::type_name_of(type.ptr()));
    }
    if (!traceback.is_none())
        PyException_SetTraceback(exception.ptr(), traceback.ptr());
    return exception;
}

/// What `coroutine.__await__()` returns, as for a Python coroutine: an
/// iterator that drives the coroutine, so that `yield from
/// coroutine.__await__()` works in generator-based code. (`await` itself
/// takes the coroutine directly.)
struct AwaitIterator {
    nb::object coroutine;
};

static CoroutineObject &driven_by(PyObject *self) {
    return coroutine_of(nb::inst_ptr<AwaitIterator>(self)->coroutine.ptr());
}

nb::object detail::new_await_iterator(nb::handle coroutine) {
    nb::object self = nb::inst_alloc((PyObject *) state().await_iterator_type);
    new (nb::inst_ptr<AwaitIterator>(self)) AwaitIterator{nb::borrow(coroutine)};
    nb::inst_mark_ready(self);
    return self;
}

CoroutineObject *detail::driven_coroutine(PyObject *iterator) noexcept {
    const detail::State &types = state();
    if (Py_TYPE(iterator) == types.coroutine_type)
        return nb::inst_ready(iterator) ? &coroutine_of(iterator) : nullptr;
    if (Py_TYPE(iterator) != types.await_iterator_type || !nb::inst_ready(iterator))
        return nullptr;
    PyObject *coroutine = nb::inst_ptr<AwaitIterator>(iterator)->coroutine.ptr();
    return nb::inst_ready(coroutine) ? &coroutine_of(coroutine) : nullptr;
}

static PyObject *await_iterator_iter(PyObject *self) { return Py_NewRef(self); }

static PySendResult await_iterator_am_send(PyObject *self, PyObject *value,
                                           PyObject **result) {
    return driven_by(self).step(value, nullptr, result);
}

static PyObject *await_iterator_iternext(PyObject *self) {
    return coroutine_iternext(nb::inst_ptr<AwaitIterator>(self)->coroutine.ptr());
}

// No tp_clear: a cycle through the iterator also runs through its
// coroutine, whose clear breaks it; the coroutine stays valid meanwhile.
static int await_iterator_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    Py_VISIT(nb::inst_ptr<AwaitIterator>(self)->coroutine.ptr());
    return 0;
}

/// `tp_new` of the bridge's types: their objects are made only by the
/// bridge, with their frame; one made from Python would have none. Refused
/// as CPython refuses to create its own coroutine wrappers.
static PyObject *refuse_new(PyTypeObject *type, PyObject *, PyObject *) {
    nb::object name = nb::steal(common::type_short_name(type));
    if (name.is_valid())
        PyErr_Format(PyExc_TypeError, "cannot create '%U' instances", name.ptr());
    return nullptr;
}

static PyType_Slot await_iterator_slots[] = {
    {Py_tp_new, (void *) refuse_new},
    {Py_am_send, (void *) await_iterator_am_send},
    {Py_tp_iter, (void *) await_iterator_iter},
    {Py_tp_iternext, (void *) await_iterator_iternext},
    {Py_tp_traverse, (void *) await_iterator_traverse},
    {0, nullptr},
};

// `send`, `throw` and `close` are plain C methods, as on native coroutines:
// asyncio calls `throw` for every cancellation, and a step that ends the
// coroutine then costs no C++ exception.

static PyObject *coroutine_send(CoroutineObject &self, PyObject *value) noexcept {
    PyObject *out = nullptr;
    PySendResult status = self.step(value, nullptr, &out);
    return method_result(status, out);
}

static PyObject *coroutine_throw(CoroutineObject &self, PyObject *const *args,
                                 Py_ssize_t nargs) noexcept {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, nargs < 1 ? "throw expected at least 1 argument, got %zd"
                                                : "throw expected at most 3 arguments, got %zd",
                     nargs);
        return nullptr;
    }
    nb::handle type = args[0];
    nb::handle value = nargs > 1 ? nb::handle(args[1]) : nb::none();
    nb::handle traceback = nargs > 2 ? nb::handle(args[2]) : nb::none();
    nb::object exception;
    try {
#if PY_VERSION_HEX >= 0x030C0000
        if (!value.is_none() || !traceback.is_none()) {
            if (PyErr_WarnEx(PyExc_DeprecationWarning,
                             "the (type, exc, tb) signature of throw() is "
                             "deprecated, use the single-arg signature instead.",
                             1) < 0)
                return nullptr;
        }
#endif
        exception = thrown_exception(type, value, traceback);
    } catch (...) {
        restore_error(std::current_exception());
        return nullptr;
    }
    PyObject *out = nullptr;
    PySendResult status = self.step(Py_None, exception.ptr(), &out);
    return method_result(status, out);
}

static PyObject *coroutine_close(CoroutineObject &self) noexcept { return self.close(); }

/// The coroutine behind `self`, or null with TypeError while `self` is not
/// a constructed `_Coroutine`.
static CoroutineObject *ready_coroutine(PyObject *self) noexcept {
    if (!nb::inst_ready(self)) {
        PyErr_SetString(PyExc_TypeError, "the coroutine is not initialized");
        return nullptr;
    }
    return nb::inst_ptr<CoroutineObject>(self);
}

static PyObject *coroutine_send_method(PyObject *self, PyObject *value) {
    CoroutineObject *coroutine = ready_coroutine(self);
    return coroutine ? coroutine_send(*coroutine, value) : nullptr;
}

static PyObject *coroutine_throw_method(PyObject *self, PyObject *const *args,
                                        Py_ssize_t nargs) {
    CoroutineObject *coroutine = ready_coroutine(self);
    return coroutine ? coroutine_throw(*coroutine, args, nargs) : nullptr;
}

static PyObject *coroutine_close_method(PyObject *self, PyObject *) {
    CoroutineObject *coroutine = ready_coroutine(self);
    return coroutine ? coroutine_close(*coroutine) : nullptr;
}

static PyMethodDef coroutine_methods[] = {
    {"send", (PyCFunction) coroutine_send_method, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", (PyCFunction) (void (*)(void)) coroutine_throw_method, METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\n"
     "Raise exception in coroutine, return next iterated value or raise\nStopIteration."},
    {"close", coroutine_close_method, METH_NOARGS,
     "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

static PyType_Slot coroutine_slots[] = {
    {Py_tp_new, (void *) refuse_new},
    {Py_am_await, (void *) coroutine_am_await},
    {Py_am_send, (void *) coroutine_am_send},
    {Py_tp_iternext, (void *) coroutine_iternext},
    {Py_tp_traverse, (void *) coroutine_traverse},
    {Py_tp_clear, (void *) coroutine_clear},
    {Py_tp_finalize, (void *) coroutine_finalize},
    {Py_tp_methods, (void *) coroutine_methods},
    {0, nullptr},
};

/// `nb::object` form of a raw method's result, for the await iterator.
static nb::object checked_result(PyObject *result) {
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

void register_coroutine_type(nb::module_ &m) {
    nb::class_<AwaitIterator>(m, "_CoroutineAwait", nb::type_slots(await_iterator_slots),
                              "The iterator of a C++ coroutine's ``__await__()``.")
        .def("send", [](AwaitIterator &self, nb::handle value) {
                 return checked_result(coroutine_send(coroutine_of(self.coroutine.ptr()), value.ptr()));
             }, nb::arg("value").none())
        .def("throw", [](AwaitIterator &self, nb::handle type, nb::handle value,
                         nb::handle traceback) {
                 PyObject *args[] = {type.ptr(), value.ptr(), traceback.ptr()};
                 Py_ssize_t count = !traceback.is_none() ? 3 : !value.is_none() ? 2 : 1;
                 return checked_result(
                     coroutine_throw(coroutine_of(self.coroutine.ptr()), args, count));
             }, nb::arg("typ"), nb::arg("val").none() = nb::none(),
             nb::arg("tb").none() = nb::none())
        .def("close", [](AwaitIterator &self) {
                 return checked_result(coroutine_close(coroutine_of(self.coroutine.ptr())));
             });

    // `send`, `throw` and `close` come with the type's slots.
    nb::class_<CoroutineObject>(
        m, "_Coroutine", nb::type_slots(coroutine_slots), nb::is_weak_referenceable(),
        "A coroutine implemented in C++. It behaves like the coroutine object "
        "of an ``async def`` function: await it, or hand it to "
        "``asyncio.create_task``.")
        .def("__repr__",
             [](nb::handle self) {
                 return nb::str("<coroutine object {} at {}>")
                     .format(coroutine_of(self.ptr()).qualname(),
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
        nb::cpp_function([](CoroutineObject &self) { return self.qualname(); }),
        nb::cpp_function([](CoroutineObject &self, nb::str value) { self.set_qualname(std::move(value)); }));
    nb::object name = property(
        nb::cpp_function([](CoroutineObject &self) { return self.name(); }),
        nb::cpp_function([](CoroutineObject &self, nb::str value) { self.set_name(std::move(value)); }));
    // `__await__()` called from Python gives the iterator; the `await` slot,
    // given with the type, makes it directly.
    def_beside_slot(
        type, "__await__",
        [](nb::handle self) {
            if (!nb::isinstance<CoroutineObject>(self))
                nb::raise_type_error("__await__() needs a _Coroutine");
            return AwaitIterator{nb::borrow(self)};
        },
        "Return an iterator to be used in await expression.");
    PyObject *dict = common::type_dict((PyTypeObject *) type.ptr());
    if (!dict || PyDict_SetItemString(dict, "__qualname__", qualname.ptr()) < 0 ||
        PyDict_SetItemString(dict, "__name__", name.ptr()) < 0)
        throw nb::python_error();
    PyType_Modified((PyTypeObject *) type.ptr());
    state().coroutine_type = (PyTypeObject *) type.ptr();
    state().await_iterator_type = (PyTypeObject *) nb::type<AwaitIterator>().ptr();
    detail::forget_type_at_exit(type);
}

void detail::forget_type_at_exit([[maybe_unused]] nb::handle type) {
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

nb::object detail::make_coroutine_object(std::coroutine_handle<> handle, Promise *promise,
                                         const char *qualname) {
    PyTypeObject *type = state().coroutine_type;
    if (!type) {
        handle.destroy();
        throw std::runtime_error("the coroutine type is not registered");
    }
    nb::object self = nb::inst_alloc((PyObject *) type);
    new (nb::inst_ptr<CoroutineObject>(self)) CoroutineObject(handle, promise, qualname);
    nb::inst_mark_ready(self);
    return self;
}

} // namespace ombrel::bridge
