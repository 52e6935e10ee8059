#include "pc/vantor/backends/windows/windows.h"

#include "pc/vantor/py.h"

namespace ombrel::vantor {

void init_windows(nb::object self) {
    Vantor &controller = state(self);
    try {
        py::import_from("pywinauto", "Desktop");
        controller.pywinauto_available = true;
        controller.uia_available = true;
        logger.info("pywinauto UIA backend available");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
        logger.warning("pywinauto not installed — run: pip install pywinauto");
    }
    if (controller.uia_available)
        return;
    try {
        nb::module_::import_("uiautomation");
        controller.uia_available = true;
        logger.info("uiautomation library available");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
        logger.warning("uiautomation not installed — run: pip install uiautomation");
    }
}

} // namespace ombrel::vantor
