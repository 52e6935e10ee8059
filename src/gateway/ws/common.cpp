#include "common.h"

namespace ombrel::gateway {

nb::handle Interned::get() const {
    if (!object_) {
        object_ = PyUnicode_InternFromString(text_);
        if (!object_)
            throw nb::python_error();
    }
    return object_;
}

bool equals(nb::handle value, const Interned &text) {
    nb::handle expected = text.get();
    if (value.ptr() == expected.ptr())
        return true;
    if (PyUnicode_CheckExact(value.ptr()))
        return PyUnicode_Compare(value.ptr(), expected.ptr()) == 0;
    return value.equal(expected);
}

nb::object call_method(nb::handle object, const Interned &name) {
    PyObject *result = PyObject_CallMethodNoArgs(object.ptr(), name.get().ptr());
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

nb::object call_method(nb::handle object, const Interned &name, nb::handle arg) {
    PyObject *result = PyObject_CallMethodOneArg(object.ptr(), name.get().ptr(), arg.ptr());
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

/// An already imported module, else imports it.
static nb::object loaded_module(const char *name) {
    nb::str module_name(name);
    nb::object module = nb::steal(PyImport_GetModule(module_name.ptr()));
    if (module.is_valid())
        return module;
    if (PyErr_Occurred())
        throw nb::python_error();
    return nb::module_::import_(module_name);
}

nb::object module_attr(const char *name) {
    return loaded_module("ombrel.gateway.ws").attr(name);
}

nb::object server_state() {
    nb::object server = nb::module_::import_("ombrel.gateway.server");
    nb::object get_state;
    try {
        get_state = server.attr("get_state");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_AttributeError))
            throw;
        PyErr_Format(PyExc_ImportError,
                     "cannot import name 'get_state' from 'ombrel.gateway.server'");
        throw nb::python_error();
    }
    return get_state();
}

nb::object state_get(nb::handle state, const char *key) {
    return get(state, key, nb::none());
}

nb::object get(nb::handle mapping, const char *key, nb::handle fallback) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *value = PyDict_GetItemString(mapping.ptr(), key);
        return nb::borrow(value ? value : fallback.ptr());
    }
    return mapping.attr(names::get)(key, fallback);
}

bool is_mapping(nb::handle value) {
    if (PyDict_Check(value.ptr()))
        return true;
    nb::object mapping = loaded_module("collections.abc").attr("Mapping");
    int result = PyObject_IsInstance(value.ptr(), mapping.ptr());
    if (result < 0)
        throw nb::python_error();
    return result != 0;
}

nb::str text_of(nb::handle value) { return nb::str(value); }

nb::str append_text(const char *prefix, nb::handle value) {
    nb::str head(prefix);
    nb::str tail = text_of(value);
    PyObject *joined = PyUnicode_Concat(head.ptr(), tail.ptr());
    if (!joined)
        throw nb::python_error();
    return nb::steal<nb::str>(joined);
}

nb::object first_chars(nb::handle text, Py_ssize_t count) {
    PyObject *slice = PySequence_GetSlice(text.ptr(), 0, count);
    if (!slice)
        throw nb::python_error();
    return nb::steal(slice);
}

nb::object send_json(nb::handle ws, nb::handle event) {
    return call_method(ws, names::send_json, event);
}

nb::dict event(std::initializer_list<std::pair<const char *, nb::handle>> items) {
    nb::dict result;
    for (const auto &[key, value] : items)
        result[key] = value;
    return result;
}

nb::dict error_event(nb::handle message) {
    return event({{"type", nb::str("error")}, {"message", message}});
}

nb::dict error_event(const char *message) { return error_event(nb::str(message)); }

} // namespace ombrel::gateway
