#include "pc/vantor/backends/linux/linux.h"

#include "pc/vantor/py.h"

namespace ombrel::vantor {

namespace {

/// Whether the `python3` on the search path (the one the walker will run
/// in) has the AT-SPI binding: a blocking run of at most five seconds, its
/// child killed and reaped on time-out.
bool atspi_usable() {
    const char *atspi_check =
        "import gi; gi.require_version('Atspi', '2.0'); from gi.repository import Atspi";
    return works([atspi_check] {
        nb::module_ subprocess = common::import_module("subprocess");
        nb::list command;
        command.append("python3");
        command.append("-c");
        command.append(atspi_check);
        nb::object done = subprocess.attr("run")(command, nb::arg("capture_output") = true,
                                                 nb::arg("timeout") = 5);
        return py::equal(done.attr("returncode"), nb::int_(0));
    });
}

} // namespace

void init_linux(nb::object self) {
    Vantor &controller = state(self);
    nb::object found = common::module_attr(py::names::shutil, py::names::which)("xdotool");
    if (!found.is_none()) {
        controller.linux_xdotool_available = true;
        logger.info("xdotool available for Linux desktop control");
    }
    if (atspi_usable()) {
        controller.linux_atspi_available = true;
        logger.info("AT-SPI2 accessibility available for Linux");
    }
    if (!controller.linux_xdotool_available && !controller.linux_atspi_available)
        logger.warning("No Linux desktop control tools found. Install: sudo apt install "
                       "xdotool (or: pip install pyatspi)");
}

} // namespace ombrel::vantor
