#include "common/interned.h"

namespace ombrel::common {

nb::handle intern(const char *text) {
    PyObject *name = PyUnicode_InternFromString(text);
    if (!name)
        throw nb::python_error();
    return name;
}

} // namespace ombrel::common
