#include "pc/vantor/backends/pyautogui_input.h"

#include "pc/vantor/py.h"
#include "pc/vantor/results.h"

namespace ombrel::vantor {

namespace {

Coro<> press(nb::object key) {
    nb::module_ pyautogui = nb::module_::import_("pyautogui");
    nb::object lower = key.attr("lower")();
    nb::str plus("+");
    if (py::contains(key, plus)) {
        nb::list parts = nb::borrow<nb::list>(lower.attr("split")(plus));
        // Ctrl shortcuts are Command shortcuts on macOS.
        if (py::equal(module_attr(py::names::SYSTEM), "Darwin")) {
            nb::str ctrl("ctrl"), command("command");
            for (Py_ssize_t i = 0; i < common::list_size(parts.ptr()); ++i)
                if (py::equal(parts[i], ctrl))
                    parts[i] = command;
        }
        py::checked(
            PyObject_Call(pyautogui.attr("hotkey").ptr(), nb::tuple(parts).ptr(), nullptr));
    } else {
        pyautogui.attr("press")(lower);
    }
    co_return key_pressed(key);
}

Coro<> scroll(nb::object direction, nb::object amount) {
    nb::module_ pyautogui = nb::module_::import_("pyautogui");
    // Every direction but "up" scrolls down.
    nb::object clicks =
        py::equal(direction, "up") ? amount : py::checked(PyNumber_Negative(amount.ptr()));
    pyautogui.attr("scroll")(clicks);
    nb::dict result = success();
    result["action"] = "scroll";
    result["direction"] = direction;
    result["amount"] = amount;
    result["hint"] = UPDATED_STATE_HINT;
    co_return result;
}

} // namespace

Coro<> press_key_pyautogui(nb::object self, nb::object key) {
    if (!state(self).pyautogui_available)
        co_return failure("No keyboard input method available");
    co_return co_await result_or_failure<&press>(key);
}

Coro<> scroll_pyautogui(nb::object self, nb::object direction, nb::object amount) {
    if (!state(self).pyautogui_available)
        co_return failure("PyAutoGUI not available for scrolling");
    co_return co_await result_or_failure<&scroll>(direction, amount);
}

} // namespace ombrel::vantor
