// The Linux backend's module attributes, read at each use.
#include "pc/vantor/backends/linux/linux.h"

#include "pc/vantor/py.h"

namespace ombrel::vantor {

bool linux_actions() { return py::truth(module_attr(py::names::LINUX_ACTIONS)); }

bool linux_worker() { return py::truth(module_attr(py::names::LINUX_WORKER)); }

bool linux_extras() { return linux_actions() || linux_worker(); }

nb::str linux_python() {
    nb::object python = module_attr(py::names::LINUX_PYTHON);
    if (!PyUnicode_Check(python.ptr()))
        nb::raise_type_error("LINUX_PYTHON must be a str (an interpreter's path or name), not %s",
                             common::python_type_name(python).c_str());
    if (!py::truth(python))
        common::raise_error(PyExc_ValueError,
                            "LINUX_PYTHON must name an interpreter, not be empty");
    return nb::borrow<nb::str>(python);
}

} // namespace ombrel::vantor
