// The Python type `_Coroutine` that drives a C++ coroutine: its slots
// (`__await__`, `am_send`, `__next__`, garbage collection) and methods.
#include "coroutine.h"

#include "errors.h"

#include <nanobind/eval.h>

#include <utility>

namespace ombrel::bridge {

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

/// `tp_new` of the bridge's types: their objects are made only by the
/// bridge, with their frame; one made from Python would have none. Refused
/// as CPython refuses to create its own coroutine wrappers.
static PyObject *refuse_new(PyTypeObject *type, PyObject *, PyObject *) {
    nb::object name = nb::steal(PyType_GetName(type));
    if (name.is_valid())
        PyErr_Format(PyExc_TypeError, "cannot create '%U' instances", name.ptr());
    return nullptr;
}

static PyType_Slot coroutine_slots[] = {
    {Py_tp_new, (void *) refuse_new},
    {Py_am_await, (void *) coroutine_am_await},
    {Py_am_send, (void *) coroutine_am_send},
    {Py_tp_iternext, (void *) coroutine_iternext},
    {Py_tp_traverse, (void *) coroutine_traverse},
    {Py_tp_clear, (void *) coroutine_clear},
    {Py_tp_finalize, (void *) coroutine_finalize},
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

static PyType_Slot await_iterator_slots[] = {
    {Py_tp_new, (void *) refuse_new},
    {Py_am_send, (void *) await_iterator_am_send},
    {Py_tp_iter, (void *) await_iterator_iter},
    {Py_tp_iternext, (void *) await_iterator_iternext},
    {Py_tp_traverse, (void *) await_iterator_traverse},
    {0, nullptr},
};

static nb::object coroutine_send(CoroutineObject &self, nb::handle value) {
    PyObject *out = nullptr;
    PySendResult status = self.step(value.ptr(), nullptr, &out);
    return method_result(status, out);
}

static nb::object coroutine_throw(CoroutineObject &self, nb::handle type,
                                  nb::handle value, nb::handle traceback) {
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
}

static nb::object coroutine_close(CoroutineObject &self) {
    PyObject *result = self.close();
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

void register_coroutine_type(nb::module_ &m) {
    nb::class_<AwaitIterator>(m, "_CoroutineAwait", nb::type_slots(await_iterator_slots),
                              "The iterator of a C++ coroutine's ``__await__()``.")
        .def("send", [](AwaitIterator &self, nb::handle value) {
                 return coroutine_send(coroutine_of(self.coroutine.ptr()), value);
             }, nb::arg("value").none())
        .def("throw", [](AwaitIterator &self, nb::handle type, nb::handle value,
                         nb::handle traceback) {
                 return coroutine_throw(coroutine_of(self.coroutine.ptr()), type, value, traceback);
             }, nb::arg("typ"), nb::arg("val").none() = nb::none(),
             nb::arg("tb").none() = nb::none())
        .def("close", [](AwaitIterator &self) {
                 return coroutine_close(coroutine_of(self.coroutine.ptr()));
             });

    nb::class_<CoroutineObject>(
        m, "_Coroutine", nb::type_slots(coroutine_slots), nb::is_weak_referenceable(),
        "A coroutine implemented in C++. It behaves like the coroutine object "
        "of an ``async def`` function: await it, or hand it to "
        "``asyncio.create_task``.")
        .def("send", &coroutine_send,
             nb::arg("value").none(),
             "send(value) -> next yielded value, or raise StopIteration.")
        .def("throw", &coroutine_throw,
             nb::arg("typ"), nb::arg("val").none() = nb::none(),
             nb::arg("tb").none() = nb::none(),
             "throw(value)\nthrow(type[,value[,traceback]])\n\n"
             "Raise exception in coroutine, return next yielded value or raise "
             "StopIteration.")
        .def("close", &coroutine_close,
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
    // `__await__()` called from Python gives the iterator; set straight
    // into the dictionary so that the `await` slot keeps taking the
    // coroutine itself.
    nb::object await_method = nb::cpp_function(
        [](nb::handle self) {
            if (!nb::isinstance<CoroutineObject>(self))
                nb::raise_type_error("__await__() needs a _Coroutine");
            return AwaitIterator{nb::borrow(self)};
        },
        nb::scope(type), nb::name("__await__"), nb::is_method(),
        "Return an iterator to be used in await expression.");
    PyObject *dict = ((PyTypeObject *) type.ptr())->tp_dict;
    if (PyDict_SetItemString(dict, "__qualname__", qualname.ptr()) < 0 ||
        PyDict_SetItemString(dict, "__name__", name.ptr()) < 0 ||
        PyDict_SetItemString(dict, "__await__", await_method.ptr()) < 0)
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
