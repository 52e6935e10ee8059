#include "corvex.h"

namespace ombrel::corvex {

nb::object module_attr(const char *name) {
    return nb::module_::import_(module_name).attr(name);
}

nb::object make_path(nb::handle text) {
    return nb::module_::import_("pathlib").attr("Path")(text);
}

nb::object join(nb::handle base, nb::handle part) {
    nb::object joined = nb::steal(PyNumber_TrueDivide(base.ptr(), part.ptr()));
    if (!joined.is_valid())
        throw nb::python_error();
    return joined;
}

nb::str text_of(nb::handle value) { return nb::str(value); }

double wall_clock() {
    return nb::cast<double>(nb::module_::import_("time").attr("time")());
}

void chain(nb::handle exception, nb::handle context) {
    if (exception.is(context))
        return;
    PyException_SetContext(exception.ptr(), nb::borrow(context).release().ptr());
}

} // namespace ombrel::corvex
