#include "pc/vantor/backends/linux/linux.h"

#include "pc/vantor/py.h"

namespace ombrel::vantor {

namespace {

constexpr const char *ATSPI_CHECK =
    "import gi; gi.require_version('Atspi', '2.0'); from gi.repository import Atspi";

/// What keeps `LINUX_PYTHON` (the interpreter the walker will run in) from
/// reading the AT-SPI bus, or None when nothing does: a blocking run of at
/// most five seconds, its child killed and reaped on time-out. The reason
/// names the interpreter by its full path and says what it lacked.
nb::object atspi_missing() {
    nb::module_ subprocess = common::import_module("subprocess");
    nb::object python, path;
    try {
        python = linux_python();
        path = common::module_attr(py::names::shutil, py::names::which)(python);
        nb::list command;
        command.append(python);
        command.append("-c");
        command.append(ATSPI_CHECK);
        nb::object done = subprocess.attr("run")(command, nb::arg("capture_output") = true,
                                                 nb::arg("timeout") = 5);
        if (py::equal(done.attr("returncode"), nb::int_(0)))
            return nb::none();
        nb::str errors = decoded(done.attr("stderr"));
        nb::object lines = errors.attr("splitlines")();
        nb::object why = py::truth(lines) ? nb::object(py::item(lines, nb::int_(-1)))
                                          : nb::object(py::checked(PyUnicode_FromFormat(
                                                "it ended with status %S",
                                                done.attr("returncode").ptr())));
        return py::checked(PyUnicode_FromFormat(
            "AT-SPI2 is not usable: %S (LINUX_PYTHON) cannot import gi.repository.Atspi 2.0: %S. "
            "Set LINUX_PYTHON to an interpreter that can.",
            path.is_none() ? python.ptr() : path.ptr(), why.ptr()));
    } catch (nb::python_error &e) {
        if (!py::is_exception(e))
            throw;
        if (!python.is_valid())
            return py::checked(PyUnicode_FromFormat("AT-SPI2 is not usable: %S",
                                                    common::exception_message(e.value()).ptr()));
        if (e.matches(subprocess.attr("TimeoutExpired").ptr()))
            return py::checked(PyUnicode_FromFormat(
                "AT-SPI2 is not usable: %S (LINUX_PYTHON) did not answer within 5 seconds when "
                "asked to import gi.repository.Atspi 2.0.",
                path.is_valid() && !path.is_none() ? path.ptr() : python.ptr()));
        if (!path.is_valid() || path.is_none())
            return py::checked(PyUnicode_FromFormat(
                "AT-SPI2 is not usable: LINUX_PYTHON %R was not found on the search path.",
                python.ptr()));
        return py::checked(PyUnicode_FromFormat("AT-SPI2 is not usable: %S (LINUX_PYTHON) could "
                                                "not be run: %S",
                                                path.ptr(),
                                                common::exception_message(e.value()).ptr()));
    }
}

} // namespace

void init_linux(nb::object self) {
    Vantor &controller = state(self);
    nb::object found = common::module_attr(py::names::shutil, py::names::which)("xdotool");
    if (!found.is_none()) {
        controller.linux_xdotool_available = true;
        logger.info("xdotool available for Linux desktop control");
    }
    nb::object missing = atspi_missing();
    if (missing.is_none()) {
        controller.linux_atspi_available = true;
        logger.info("AT-SPI2 accessibility available for Linux");
    }
    bool extras = linux_extras();
    if (!missing.is_none() && extras)
        logger.warning("%s", missing);
    if (!controller.linux_xdotool_available && !controller.linux_atspi_available) {
        if (extras)
            logger.warning("No Linux desktop control tools found: xdotool is not on the search "
                           "path either.");
        else
            logger.warning("No Linux desktop control tools found. Install: sudo apt install "
                           "xdotool (or: pip install pyatspi)");
    }
}

} // namespace ombrel::vantor
