// Garbage-collector support for a bound C++ class that holds Python objects.
//
// A class `T` with
//     int traverse(visitproc visit, void *arg) const;  // Py_VISIT each object
//     void clear();                                    // drop them
// gets its type slots from `gc_slots<T>()`:
//     nb::class_<T>(m, "Name", nb::type_slots(common::gc_slots<T>()))
// so that reference cycles through its objects are collected.
#pragma once

#include <nanobind/nanobind.h>

namespace ombrel::common {

namespace nb = nanobind;

namespace detail {

template <typename T> int gc_traverse(PyObject *self, visitproc visit, void *arg) {
    // Heap types own a reference to their type.
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    return nb::inst_ptr<T>(self)->traverse(visit, arg);
}

template <typename T> int gc_clear(PyObject *self) {
    if (nb::inst_ready(self))
        nb::inst_ptr<T>(self)->clear();
    return 0;
}

} // namespace detail

/// The `tp_traverse` and `tp_clear` slots of `T`, for `nb::type_slots`.
template <typename T> PyType_Slot *gc_slots() {
    static PyType_Slot slots[] = {
        {Py_tp_traverse, reinterpret_cast<void *>(&detail::gc_traverse<T>)},
        {Py_tp_clear, reinterpret_cast<void *>(&detail::gc_clear<T>)},
        {0, nullptr},
    };
    return slots;
}

} // namespace ombrel::common
