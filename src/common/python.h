// Small helpers over the Python C API: calls that throw `nb::python_error`
// instead of returning null, Python's own truth, comparison and mapping
// rules, and module look-ups that prefer `sys.modules`.
#pragma once

#include "common/capi.h"
#include "common/interned.h"

#include <nanobind/nanobind.h>

namespace ombrel::common {

namespace nb = nanobind;

/// A new reference from the C API, or the Python error it set.
inline nb::object checked(PyObject *result) {
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

/// `obj.name`
inline nb::object attr(nb::handle obj, nb::handle name) {
    return checked(PyObject_GetAttr(obj.ptr(), name.ptr()));
}

/// `hasattr(obj, name)`: false on AttributeError, any other error raised.
bool has_attr(nb::handle obj, nb::handle name);

/// `str(value)`
inline nb::str text_of(nb::handle value) { return nb::str(value); }

/// `getattr(obj, name, fallback)`: `fallback` when the attribute is missing
/// (AttributeError); any other error raised.
nb::object attr_or(nb::handle obj, nb::handle name, nb::handle fallback);

/// `obj.name()`, called as Python calls methods (no bound method made).
inline nb::object call_method(nb::handle obj, nb::handle name) {
    return checked(call_method_no_args(obj.ptr(), name.ptr()));
}

/// `obj.name(arg)`
inline nb::object call_method(nb::handle obj, nb::handle name, nb::handle arg) {
    return checked(call_method_one_arg(obj.ptr(), name.ptr(), arg.ptr()));
}

/// `bool(obj)`
inline bool truth(nb::handle obj) {
    if (PyUnicode_CheckExact(obj.ptr()))
        return str_length(obj.ptr()) != 0;
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

/// `value == text`, with a fast path for an exact `str`.
bool equal(nb::handle value, const Interned &text);

/// `item in container`
inline bool contains(nb::handle container, nb::handle item) {
    int result = PySequence_Contains(container.ptr(), item.ptr());
    if (result < 0)
        throw nb::python_error();
    return result != 0;
}

/// `mapping[key]`
inline nb::object item(nb::handle mapping, nb::handle key) {
    return checked(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

/// `mapping.get(key, fallback)`, with a fast path for plain dictionaries
/// (a dict subclass may override `get`, so it is called like any mapping).
nb::object get(nb::handle mapping, const char *key, nb::handle fallback);
/// The same with an interned key (no string made per call).
nb::object get(nb::handle mapping, const Interned &key, nb::handle fallback);

/// `isinstance(value, collections.abc.Mapping)`.
bool is_mapping(nb::handle value);

/// The module `name` as `import name` gives it: the one already in
/// `sys.modules` (a dictionary look-up), else imported now.
nb::module_ import_module(const char *name);

/// `import_module` by an interned name, whose hash is kept: for the
/// modules of hot paths.
nb::module_ import_module(const Interned &name);

/// `from module import name`, with the ImportError Python gives for a
/// missing name.
nb::object import_from(const char *module, const char *name);

/// An attribute of the module `module`, read now: module-level settings
/// (`SKILLS_DIR`, `SYSTEM`, `manager`, ...) are read at each use, so that a
/// host or a test can change them.
nb::object module_attr(const Interned &module, const Interned &name);

/// `from module import name` as a Python module's top-level import binds
/// it: looked up at first use and kept for the life of the process. For
/// names that never change (classes and modules of libraries), not for
/// settings.
class ImportedName {
public:
    explicit constexpr ImportedName(const char *module, const char *name = nullptr)
        : module_(module), name_(name) {}
    /// The module itself when no name is given.
    nb::handle get() const;

private:
    const char *module_;
    const char *name_;
    mutable PyObject *object_ = nullptr;
};

} // namespace ombrel::common
