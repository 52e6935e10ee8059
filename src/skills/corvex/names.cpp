#include "skills/corvex/corvex.h"

namespace ombrel::corvex {

static const common::Interned path_name("Path"), time_name("time"),
    strftime_name("strftime");

nb::object make_path(nb::handle text) {
    return common::call_method(import_module(names::pathlib_module), path_name, text);
}

nb::object join(nb::handle base, nb::handle part) {
    nb::object joined = nb::steal(PyNumber_TrueDivide(base.ptr(), part.ptr()));
    if (!joined.is_valid())
        throw nb::python_error();
    return joined;
}

double wall_clock() {
    nb::object now = common::call_method(import_module(names::time_module), time_name);
    double seconds = PyFloat_AsDouble(now.ptr());
    if (seconds == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return seconds;
}

nb::object strftime(const common::Interned &format) {
    return common::call_method(import_module(names::time_module), strftime_name, format);
}

void chain(nb::handle exception, nb::handle context) {
    // As the interpreter does it: never a cycle of contexts.
    for (nb::object link = nb::borrow(context); link.is_valid() && !link.is_none();
         link = nb::steal(PyException_GetContext(link.ptr())))
        if (link.is(exception))
            return;
    PyException_SetContext(exception.ptr(), nb::borrow(context).release().ptr());
}

} // namespace ombrel::corvex
