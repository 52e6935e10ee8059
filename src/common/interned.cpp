#include "interned.h"

namespace ombrel::common {

nb::handle intern(const char *text) {
    PyObject *name = PyUnicode_InternFromString(text);
    if (!name)
        throw nb::python_error();
    return name;
}

bool equals(nb::handle value, const Interned &text) {
    nb::handle expected = text.get();
    if (value.ptr() == expected.ptr())
        return true;
    if (PyUnicode_CheckExact(value.ptr()))
        return PyUnicode_Compare(value.ptr(), expected.ptr()) == 0;
    return value.equal(expected);
}

} // namespace ombrel::common
