#include "common/python.h"

namespace ombrel::common {

bool equal(nb::handle value, const Interned &text) {
    PyObject *expected = text.get().ptr();
    PyObject *given = value.ptr();
    if (given == expected)
        return true;
    if (PyUnicode_CheckExact(given))
        return same_text(given, expected);
    return value.equal(nb::handle(expected));
}

bool has_attr(nb::handle obj, nb::handle name) {
    PyObject *value = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (value) {
        Py_DECREF(value);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw nb::python_error();
    PyErr_Clear();
    return false;
}

nb::object attr_or(nb::handle obj, nb::handle name, nb::handle fallback) {
    PyObject *value = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (value)
        return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw nb::python_error();
    PyErr_Clear();
    return nb::borrow(fallback);
}

nb::object get(nb::handle mapping, const char *key, nb::handle fallback) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *value = PyDict_GetItemString(mapping.ptr(), key);
        return nb::borrow(value ? value : fallback.ptr());
    }
    return mapping.attr("get")(key, fallback);
}

nb::object get(nb::handle mapping, const Interned &key, nb::handle fallback) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *value = PyDict_GetItemWithError(mapping.ptr(), key.get().ptr());
        if (!value && PyErr_Occurred())
            throw nb::python_error();
        return nb::borrow(value ? value : fallback.ptr());
    }
    static const Interned get_name("get");
    return checked(PyObject_CallMethodObjArgs(mapping.ptr(), get_name.get().ptr(),
                                              key.get().ptr(), fallback.ptr(), nullptr));
}

bool is_mapping(nb::handle value) {
    if (PyDict_Check(value.ptr()))
        return true;
    nb::object mapping = import_module("collections.abc").attr("Mapping");
    int result = PyObject_IsInstance(value.ptr(), mapping.ptr());
    if (result < 0)
        throw nb::python_error();
    return result != 0;
}

nb::module_ import_module(const char *name) {
    // A loaded module straight from sys.modules (the common case, and on hot
    // paths): PyImport_GetModule would also look into its __spec__.
    PyObject *modules = PyImport_GetModuleDict();
    if (modules && PyDict_CheckExact(modules)) {
        PyObject *loaded = PyDict_GetItemString(modules, name);
        if (loaded && loaded != Py_None && PyModule_CheckExact(loaded))
            return nb::borrow<nb::module_>(loaded);
    }
    nb::str module_name(name);
    nb::object module = nb::steal(PyImport_GetModule(module_name.ptr()));
    // None in sys.modules blocks the import: the import system raises
    // ModuleNotFoundError for it.
    if (module.is_valid() && !module.is_none())
        return nb::borrow<nb::module_>(module);
    if (PyErr_Occurred())
        throw nb::python_error();
    return nb::module_::import_(module_name);
}

nb::module_ import_module(const Interned &name) {
    // As above, with the name's hash kept in the interned string.
    PyObject *modules = PyImport_GetModuleDict();
    if (modules && PyDict_CheckExact(modules)) {
        PyObject *loaded = PyDict_GetItemWithError(modules, name.get().ptr());
        if (loaded && PyModule_CheckExact(loaded))
            return nb::borrow<nb::module_>(loaded);
        if (!loaded && PyErr_Occurred())
            throw nb::python_error();
    }
    return import_module(name.c_str());
}

nb::object module_attr(const Interned &module, const Interned &name) {
    nb::module_ loaded = import_module(module);
    // A plain module's attribute is its namespace's entry (the module type
    // has no descriptor of these names); a missing one goes through
    // `getattr`, for a module `__getattr__` or Python's AttributeError.
    if (PyModule_CheckExact(loaded.ptr())) {
        PyObject *value = PyDict_GetItemWithError(PyModule_GetDict(loaded.ptr()), name.get().ptr());
        if (value)
            return nb::borrow(value);
        if (PyErr_Occurred())
            throw nb::python_error();
    }
    return attr(loaded, name);
}

nb::handle ImportedName::get() const {
    if (!object_)
        object_ = (name_ ? import_from(module_, name_) : nb::object(import_module(module_)))
                      .release()
                      .ptr();
    return object_;
}

nb::object import_from(const char *module, const char *name) {
    nb::module_ imported = import_module(module);
    PyObject *value = PyObject_GetAttrString(imported.ptr(), name);
    if (value)
        return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw nb::python_error();
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    throw nb::python_error();
}

} // namespace ombrel::common
