#include "corvex.h"

namespace ombrel::corvex {

nb::object make_path(nb::handle text) {
    return import_module("pathlib").attr("Path")(text);
}

nb::object join(nb::handle base, nb::handle part) {
    nb::object joined = nb::steal(PyNumber_TrueDivide(base.ptr(), part.ptr()));
    if (!joined.is_valid())
        throw nb::python_error();
    return joined;
}

nb::str text_of(nb::handle value) { return nb::str(value); }

double wall_clock() {
    return nb::cast<double>(import_module("time").attr("time")());
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
