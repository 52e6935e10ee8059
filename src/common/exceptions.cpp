#include "common/exceptions.h"

#include <cstdarg>

namespace ombrel::common {

void raise_error(PyObject *type, const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw nb::python_error();
}

/// `placeholder` in place of a text that could not be had because of the
/// error that is set, when that error is of the `Exception` family; any
/// other (KeyboardInterrupt, SystemExit) goes on to the caller.
static nb::str placeholder_for_error(const char *placeholder) {
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        throw nb::python_error();
    PyErr_Clear();
    return nb::str(placeholder);
}

nb::str exception_message(nb::handle exception) {
    PyObject *text = PyObject_Str(exception.ptr());
    if (!text)
        return placeholder_for_error("<exception str() failed>");
    return nb::steal<nb::str>(text);
}

nb::str exception_type_name(nb::handle exception) {
    PyObject *name = PyObject_GetAttrString((PyObject *) Py_TYPE(exception.ptr()), "__name__");
    if (!name)
        return placeholder_for_error("<exception type name failed>");
    if (!PyUnicode_Check(name)) {
        Py_DECREF(name);
        return nb::str("<exception type name failed>");
    }
    return nb::steal<nb::str>(name);
}

nb::str describe_exception(nb::handle exception) {
    return nb::str("{}: {}").format(exception_type_name(exception), exception_message(exception));
}

} // namespace ombrel::common
