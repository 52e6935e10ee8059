// The Windows window operations: the focused window, the list of windows and
// focusing a window by title, all read through pywinauto on the executor.
#include "pc/vantor/backends/windows/windows.h"

#include "pc/vantor/py.h"
#include "pc/vantor/results.h"

namespace ombrel::vantor {

namespace {

nb::object uia_desktop() {
    return py::import_from("pywinauto", "Desktop")(nb::arg("backend") = "uia");
}

} // namespace

Coro<> get_focused_window_windows(nb::object self) {
    if (!state(self).uia_available)
        co_return failure("UIA not available");
    co_return co_await result_or_failure<&on_executor<&get_focused_window_sync, nb::object>>(self);
}

nb::object get_focused_window_sync(nb::object self) {
    if (!state(self).pywinauto_available)
        return failure("Could not get focused window");
    nb::module_ ctypes = nb::module_::import_("ctypes");
    nb::object Desktop = py::import_from("pywinauto", "Desktop");
    nb::object handle = ctypes.attr("windll").attr("user32").attr("GetForegroundWindow")();
    if (!py::truth(handle))
        return failure("No foreground window");
    nb::object windows =
        Desktop(nb::arg("backend") = "uia").attr("windows")(nb::arg("handle") = handle);
    if (!py::truth(windows))
        return failure("Could not get focused window");
    nb::object window = py::item(windows, nb::int_(0)).attr("wrapper_object")();
    nb::dict result = success();
    result["title"] = window.attr("window_text")();
    result["class_name"] = window.attr("friendly_class_name")();
    result["handle"] = handle;
    nb::dict rect;
    for (const char *side : {"left", "top", "right", "bottom"})
        rect[side] = window.attr("rectangle")().attr(side);
    result["rect"] = rect;
    return result;
}

Coro<> list_windows_windows(nb::object self) {
    if (!state(self).uia_available)
        co_return failure("UIA not available");
    co_return co_await result_or_failure<&on_executor<&list_windows_sync, nb::object>>(self);
}

nb::object list_windows_sync(nb::object self) {
    if (!state(self).pywinauto_available)
        return failure("pywinauto not available");
    nb::object windows = uia_desktop().attr("windows")(nb::arg("visible_only") = true);
    nb::list records;
    for (nb::handle window : windows) {
        try {
            nb::object wrapper = window.attr("wrapper_object")();
            nb::object title = wrapper.attr("window_text")();
            if (!py::truth(title) || !py::truth(title.attr("strip")()))
                continue;
            nb::dict record;
            record["title"] = title;
            record["class_name"] = wrapper.attr("friendly_class_name")();
            records.append(record);
        } catch (nb::python_error &e) {
            if (!py::is_exception(e))
                throw;
        }
    }
    nb::dict result = success();
    result["windows"] = records;
    result["count"] = nb::len(records);
    return result;
}

Coro<> focus_window_windows(nb::object self, nb::object title) {
    if (!state(self).pywinauto_available)
        co_return failure("pywinauto not available");
    co_return co_await result_or_failure<&on_executor<&focus_window_sync, nb::object, nb::object>>(
        self, title);
}

nb::object focus_window_sync(nb::object self, nb::object title) {
    (void)self;
    nb::object pattern = py::checked(PyUnicode_FromFormat(".*%S.*", title.ptr()));
    nb::object windows = uia_desktop().attr("windows")(nb::arg("title_re") = pattern,
                                                       nb::arg("visible_only") = true);
    if (!py::truth(windows))
        return failure(py::checked(PyUnicode_FromFormat("No window matching: %S", title.ptr())));
    nb::object window = py::item(windows, nb::int_(0)).attr("wrapper_object")();
    window.attr("set_focus")();
    nb::dict result = success();
    result["window"] = window.attr("window_text")();
    result["hint"] = WINDOW_FOCUSED_HINT;
    return result;
}

} // namespace ombrel::vantor
