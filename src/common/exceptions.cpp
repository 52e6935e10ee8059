#include "exceptions.h"

namespace ombrel::common {

nb::str exception_message(nb::handle exception) {
    PyObject *text = PyObject_Str(exception.ptr());
    if (text && PyUnicode_Check(text))
        return nb::steal<nb::str>(text);
    Py_XDECREF(text);
    PyErr_Clear();
    return nb::str("<exception str() failed>");
}

nb::str describe_exception(nb::handle exception) {
    nb::object name = nb::getattr(exception.type(), "__name__");
    return nb::str("{}: {}").format(name, exception_message(exception));
}

} // namespace ombrel::common
