// Special methods defined from C++ beside the type slot that serves them.
//
// A class created with a slot (through `nb::type_slots`) may also want the
// Python-level method of that slot: `__call__` beside `tp_call`, `__await__`
// beside `am_await`, with nanobind's argument checks, messages and
// signature. Defined with `.def`, the method would be assigned as an
// attribute of the class, and assigning a special method makes the
// interpreter derive the slot anew from the class's dictionary: the slot
// would then look the method up and call it through Python.
//
// `def_beside_slot` makes the same function object `.def` makes (its name,
// qualified name, module, signature, docstring, checks and messages) and
// puts it in the class's dictionary as the interpreter puts a type's own
// methods there when it creates the type (a method flagged METH_COEXIST, in
// the C API's terms): the slot stays the one the class was created with.
// Whatever Python code later assigns to the class goes through the
// interpreter as usual, slots derived anew included.
#pragma once

#include "common/capi.h"

#include <nanobind/nanobind.h>

#include <utility>

namespace ombrel::bridge {

namespace nb = nanobind;

namespace detail {

/// What a method made for `type` is made in (nanobind's `nb::scope`): an
/// object with the class's `__qualname__` and `__module__`, which the
/// function takes its own from, and which receives the assignment nanobind
/// makes to the scope instead of the class. Kept for the life of the
/// process: the function may outlive the class.
inline nb::object method_scope(nb::handle type) {
    nb::object scope = nb::module_::import_("types").attr("SimpleNamespace")();
    nb::setattr(scope, "__qualname__", type.attr("__qualname__"));
    nb::setattr(scope, "__module__", type.attr("__module__"));
    return scope;
}

/// Puts `method` in the dictionary of `type` as `name`, as the type's
/// creation puts its own methods there: no slot is derived from it.
inline void place_method(nb::handle type, const char *name, nb::handle method) {
    auto *cls = reinterpret_cast<PyTypeObject *>(type.ptr());
    PyObject *dict = common::type_dict(cls);
    if (!dict)
        nb::raise_type_error("%s is not a class of ours", common::type_name(cls));
    if (PyDict_SetItemString(dict, name, method.ptr()) < 0)
        throw nb::python_error();
    // Attribute look-ups cached for the type see the change.
    PyType_Modified(cls);
}

} // namespace detail

/// `cls.def(name, f, extra...)` for a special method whose slot the class
/// was created with; the slot is left as it is.
template <typename Func, typename... Extra>
void def_beside_slot(nb::handle cls, const char *name, Func &&f, const Extra &...extra) {
    // The function refers to its scope without a reference of its own.
    nb::handle scope = detail::method_scope(cls).release();
    nb::object method = nb::cpp_function(std::forward<Func>(f), nb::scope(scope), nb::name(name),
                                         nb::is_method(), extra...);
    // Only the class keeps the function.
    nb::delattr(scope, name);
    detail::place_method(cls, name, method);
}

} // namespace ombrel::bridge
