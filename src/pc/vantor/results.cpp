#include "pc/vantor/results.h"

#include "bridge/bridge.h"
#include "pc/vantor/py.h"

namespace ombrel::vantor {

nb::dict failure(nb::handle error) {
    nb::dict result;
    result["success"] = false;
    result["error"] = error;
    return result;
}

nb::dict failure(const char *error) { return failure(nb::str(error)); }

nb::dict failure(nb::handle error, nb::handle ref) {
    nb::dict result = failure(error);
    result["ref"] = ref;
    return result;
}

nb::dict failure(const char *error, nb::handle ref) { return failure(nb::str(error), ref); }

nb::dict failure(const nb::python_error &error) {
    return failure(common::exception_message(error.value()));
}

nb::dict failure(const nb::python_error &error, nb::handle ref) {
    return failure(common::exception_message(error.value()), ref);
}

nb::dict success() {
    nb::dict result;
    result["success"] = true;
    return result;
}

nb::dict key_pressed(nb::handle key) {
    nb::dict result = success();
    result["action"] = "key_press";
    result["key"] = key;
    return result;
}

nb::str element_label(nb::handle elem_info) {
    nb::handle empty = py::names::empty;
    nb::object kind = py::get(elem_info, "control_type", empty);
    nb::object name = py::get(elem_info, "name", empty);
    return nb::steal<nb::str>(
        py::checked(PyUnicode_FromFormat("%S \"%S\"", kind.ptr(), name.ptr())).release());
}

} // namespace ombrel::vantor
