#include "interned.h"

#include <cstring>

namespace ombrel::common {

nb::handle intern(const char *text) {
    PyObject *name = PyUnicode_InternFromString(text);
    if (!name)
        throw nb::python_error();
    return name;
}

bool equals(nb::handle value, const Interned &text) {
    PyObject *expected = text.get().ptr();
    PyObject *given = value.ptr();
    if (given == expected)
        return true;
    if (PyUnicode_CheckExact(given)) {
#if PY_VERSION_HEX < 0x030C0000
        // A string made by a deprecated API may not be in canonical form.
        if (!PyUnicode_IS_READY(given))
            return PyUnicode_Compare(given, expected) == 0;
#endif
        // Texts of another length or kind differ; only same-shaped ones
        // need their code points compared.
        if (PyUnicode_GET_LENGTH(given) != PyUnicode_GET_LENGTH(expected) ||
            PyUnicode_KIND(given) != PyUnicode_KIND(expected))
            return false;
        return std::memcmp(PyUnicode_DATA(given), PyUnicode_DATA(expected),
                           (std::size_t) PyUnicode_GET_LENGTH(given) *
                               PyUnicode_KIND(given)) == 0;
    }
    return value.equal(nb::handle(expected));
}

} // namespace ombrel::common
