// Small helpers over the Python C API for the hot paths: interned names,
// attribute reads and calls that throw `nb::python_error`, Python truth and
// comparisons.
#pragma once

#include "bridge/errors.h"

#include <nanobind/nanobind.h>

namespace ombrel::vantor::py {

namespace nb = nanobind;

/// Interned strings: attribute names of the accessibility libraries, keys of
/// the results and of the ref-table entries. Made once, kept for the life of
/// the process.
struct Names {
    nb::handle empty;
    // pywinauto
    nb::handle friendly_class_name, window_text, element_info, automation_id, enabled,
        iface_value, CurrentValue, children;
    // uiautomation
    nb::handle ControlTypeName, Name, AutomationId, IsEnabled, GetValuePattern, Value,
        GetChildren, Control;
    // ref-table entries
    nb::handle element, control_type, name, auto_id, value, backend;
    nb::handle pywinauto, uiautomation;
    // kinds whose value pywinauto reads
    nb::handle Edit, ComboBox, Document;
};
const Names &names();

/// Whether a caught error is an `Exception` (and not, say, a
/// KeyboardInterrupt or a cancellation, which go on).
using ombrel::bridge::is_exception;

inline nb::object checked(PyObject *result) {
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

/// `obj.name`
inline nb::object attr(nb::handle obj, nb::handle name) {
    return checked(PyObject_GetAttr(obj.ptr(), name.ptr()));
}

/// `obj.name()`
inline nb::object call(nb::handle obj, nb::handle name) {
    return checked(PyObject_CallMethodNoArgs(obj.ptr(), name.ptr()));
}

/// `bool(obj)`
inline bool truthy(nb::handle obj) {
    if (PyUnicode_CheckExact(obj.ptr()))
        return PyUnicode_GET_LENGTH(obj.ptr()) != 0;
    int result = PyObject_IsTrue(obj.ptr());
    if (result < 0)
        throw nb::python_error();
    return result != 0;
}

/// `a == b`
inline bool equal(nb::handle a, nb::handle b) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (result < 0)
        throw nb::python_error();
    return result != 0;
}

inline bool equal(nb::handle a, const char *b) { return equal(a, nb::str(b)); }

/// `item in container`
inline bool contains(nb::handle container, nb::handle item) {
    int result = PySequence_Contains(container.ptr(), item.ptr());
    if (result < 0)
        throw nb::python_error();
    return result != 0;
}

/// `value or ""`
inline nb::object or_empty(nb::object value) {
    return truthy(value) ? value : nb::borrow(names().empty);
}

/// `mapping.get(key, default)`
nb::object get(nb::handle mapping, const char *key, nb::handle fallback);

/// `mapping[key]`
inline nb::object item(nb::handle mapping, nb::handle key) {
    return checked(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

/// `from module import name`, with the ImportError of a missing name.
nb::object import_from(const char *module, const char *name);

/// `time.sleep(seconds)`: the pause of a function that runs on the executor.
void blocking_sleep(double seconds);

} // namespace ombrel::vantor::py
