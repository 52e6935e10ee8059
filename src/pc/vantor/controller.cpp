// The controller core: lazy initialisation, argument checks, the ref table
// look-ups and the dispatch of every public operation to its platform or
// backend.
#include "vantor.h"

#include "py.h"
#include "results.h"

namespace ombrel::vantor {

namespace {

/// Which platform `SYSTEM` names right now.
enum class Platform { windows, macos, linux_desktop };

Platform current_platform() {
    nb::object system = module_attr("SYSTEM");
    if (py::equal(system, "Windows"))
        return Platform::windows;
    if (py::equal(system, "Darwin"))
        return Platform::macos;
    return Platform::linux_desktop;
}

/// A text argument: exactly a str.
nb::object text_argument(nb::handle value, const char *name) {
    return common::expect_str(value, name);
}

/// The entry of `ref` in the ref table, or nothing. The table is held while
/// it is searched: a key's `__eq__` may replace the controller's table.
nb::object find_entry(Vantor &controller, nb::handle ref) {
    nb::object table = controller.ref_map;
    if (!py::contains(table, ref))
        return {};
    return py::item(table, ref);
}

nb::dict ref_not_found(nb::handle ref, bool short_text) {
    nb::object text = py::checked(PyUnicode_FromFormat(
        short_text ? "Ref [%S] not found."
                   : "Ref [%S] not found. Take a new desktop_snapshot() to get current refs.",
        ref.ptr()));
    return failure(text);
}

/// The backend that acts on an entry; "pywinauto" when it names none.
nb::object backend_of(nb::handle elem_info) {
    return py::get(elem_info, "backend", py::names().pywinauto);
}

} // namespace

void ensure_init(nb::object self) {
    Vantor &controller = state(self);
    if (controller.initialized)
        return;
    controller.initialized = true;
    switch (current_platform()) {
        case Platform::windows: init_windows(self); break;
        case Platform::macos: init_macos(self); break;
        case Platform::linux_desktop: init_linux(self); break;
    }
    try {
        nb::module_::import_("pyautogui");
        controller.pyautogui_available = true;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
    }
}

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

Coro<> snapshot(nb::object self, nb::object window_title, nb::object max_depth) {
    if (!window_title.is_none() && !PyUnicode_CheckExact(window_title.ptr()))
        nb::raise_type_error("window_title must be str or None, not %s",
                             common::python_type_name(window_title).c_str());
    nb::object depth = common::expect_int(max_depth, "max_depth");
    ensure_init(self);
    switch (current_platform()) {
        case Platform::windows: co_return co_await snapshot_windows(self, window_title, depth);
        case Platform::macos: co_return co_await snapshot_macos(self, window_title, depth);
        case Platform::linux_desktop: break;
    }
    co_return co_await snapshot_linux(self, window_title, depth);
}

Coro<> click_ref(nb::object self, nb::object ref, nb::object double_click) {
    nb::object number = common::expect_int(ref, "ref");
    bool twice = common::truth(double_click);
    ensure_init(self);
    nb::object elem_info = find_entry(state(self), number);
    if (!elem_info.is_valid())
        co_return ref_not_found(number, false);
    nb::object backend = backend_of(elem_info);
    nb::object flag = nb::bool_(twice);
    if (py::equal(backend, "macos"))
        co_return co_await click_ref_macos(self, number, elem_info, flag);
    if (py::equal(backend, "linux_atspi"))
        co_return co_await click_ref_linux(self, number, elem_info, flag);
    co_return co_await click_ref_windows(self, number, elem_info, twice);
}

Coro<> type_ref(nb::object self, nb::object ref, nb::object text, nb::object clear_first,
                nb::object press_enter) {
    nb::object number = common::expect_int(ref, "ref");
    nb::object typed = text_argument(text, "text");
    bool clear = common::truth(clear_first);
    bool enter = common::truth(press_enter);
    ensure_init(self);
    nb::object elem_info = find_entry(state(self), number);
    if (!elem_info.is_valid())
        co_return ref_not_found(number, false);
    nb::object backend = backend_of(elem_info);
    if (py::equal(backend, "macos"))
        co_return co_await type_ref_macos(self, number, elem_info, typed, nb::bool_(clear),
                                          nb::bool_(enter));
    if (py::equal(backend, "pywinauto") || py::equal(backend, "uiautomation"))
        co_return co_await type_ref_windows(self, number, elem_info, typed, clear, enter);
    co_return failure("Type not supported on this backend yet", number);
}

Coro<> select_ref(nb::object self, nb::object ref, nb::object value) {
    nb::object number = common::expect_int(ref, "ref");
    nb::object wanted = text_argument(value, "value");
    ensure_init(self);
    nb::object elem_info = find_entry(state(self), number);
    if (!elem_info.is_valid())
        co_return ref_not_found(number, true);
    nb::object backend = backend_of(elem_info);
    if (py::equal(backend, "macos") || py::equal(backend, "linux_atspi"))
        co_return failure(py::checked(PyUnicode_FromFormat("Select not yet supported on %S",
                                                           backend.ptr())),
                          number);
    co_return co_await select_ref_windows(self, number, elem_info, wanted);
}

Coro<> toggle_ref(nb::object self, nb::object ref) {
    nb::object number = common::expect_int(ref, "ref");
    ensure_init(self);
    nb::object elem_info = find_entry(state(self), number);
    if (!elem_info.is_valid())
        co_return ref_not_found(number, true);
    nb::object backend = backend_of(elem_info);
    if (py::equal(backend, "macos") || py::equal(backend, "linux_atspi"))
        co_return co_await click_ref(self, number, nb::bool_(false));
    co_return co_await toggle_ref_windows(self, number, elem_info);
}

Coro<> get_focused_window(nb::object self) {
    ensure_init(self);
    switch (current_platform()) {
        case Platform::windows: co_return co_await get_focused_window_windows(self);
        case Platform::macos: co_return co_await get_focused_window_macos(self);
        case Platform::linux_desktop: break;
    }
    co_return co_await get_focused_window_linux(self);
}

Coro<> list_windows(nb::object self) {
    ensure_init(self);
    switch (current_platform()) {
        case Platform::windows: co_return co_await list_windows_windows(self);
        case Platform::macos: co_return co_await list_windows_macos(self);
        case Platform::linux_desktop: break;
    }
    co_return co_await list_windows_linux(self);
}

Coro<> focus_window(nb::object self, nb::object title) {
    nb::object wanted = text_argument(title, "title");
    ensure_init(self);
    switch (current_platform()) {
        case Platform::windows: co_return co_await focus_window_windows(self, wanted);
        case Platform::macos: co_return co_await focus_window_macos(self, wanted);
        case Platform::linux_desktop: break;
    }
    co_return co_await focus_window_linux(self, wanted);
}

Coro<> scroll_window(nb::object self, nb::object direction, nb::object amount) {
    text_argument(direction, "direction");
    common::expect_int(amount, "amount");
    ensure_init(self);
    co_return failure("Scrolling is not built yet");
}

Coro<> press_key(nb::object self, nb::object key) {
    text_argument(key, "key");
    ensure_init(self);
    co_return failure("Key presses are not built yet");
}

} // namespace ombrel::vantor
