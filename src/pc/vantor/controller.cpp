// The controller core: lazy initialisation, argument checks, the ref table
// look-ups, and the hand-over of every operation to the backend of the
// platform (`SYSTEM`, read at each call) or of the ref's entry.
#include "pc/vantor/controller.h"

#include "pc/vantor/backends/backend.h"
#include "pc/vantor/py.h"
#include "pc/vantor/results.h"

namespace ombrel::vantor {

namespace {

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

const Backend &backend_of(nb::handle elem_info) {
    return backend_for_entry(entry_backend(elem_info));
}

} // namespace

void ensure_init(nb::object self) {
    Vantor &controller = state(self);
    if (controller.initialized)
        return;
    controller.initialized = true;
    backend_for_system().init(self);
    try {
        nb::module_::import_("pyautogui");
        controller.pyautogui_available = true;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
    }
}

Coro<> snapshot(nb::object self, nb::object window_title, nb::object max_depth) {
    if (!window_title.is_none() && !PyUnicode_CheckExact(window_title.ptr()))
        nb::raise_type_error("window_title must be str or None, not %s",
                             common::python_type_name(window_title).c_str());
    bridge::Local<> depth = common::expect_int(max_depth, "max_depth");
    ensure_init(self);
    co_return co_await backend_for_system().snapshot(self, window_title, depth);
}

Coro<> click_ref(nb::object self, nb::object ref, nb::object double_click) {
    bridge::Local<> number = common::expect_int(ref, "ref");
    bridge::Local<> twice = nb::bool_(common::truth(double_click));
    ensure_init(self);
    bridge::Local<> elem_info = find_entry(state(self), number);
    if (!elem_info.is_valid())
        co_return ref_not_found(number, false);
    co_return co_await backend_of(elem_info).click(self, number, elem_info, twice);
}

Coro<> type_ref(nb::object self, nb::object ref, nb::object text, nb::object clear_first,
                nb::object press_enter) {
    bridge::Local<> number = common::expect_int(ref, "ref");
    bridge::Local<> typed = text_argument(text, "text");
    bridge::Local<> clear = nb::bool_(common::truth(clear_first));
    bridge::Local<> enter = nb::bool_(common::truth(press_enter));
    ensure_init(self);
    bridge::Local<> elem_info = find_entry(state(self), number);
    if (!elem_info.is_valid())
        co_return ref_not_found(number, false);
    co_return co_await backend_of(elem_info).type(self, number, elem_info, typed, clear, enter);
}

Coro<> select_ref(nb::object self, nb::object ref, nb::object value) {
    bridge::Local<> number = common::expect_int(ref, "ref");
    bridge::Local<> wanted = text_argument(value, "value");
    ensure_init(self);
    bridge::Local<> elem_info = find_entry(state(self), number);
    if (!elem_info.is_valid())
        co_return ref_not_found(number, true);
    co_return co_await backend_of(elem_info).select(self, number, elem_info, wanted);
}

Coro<> toggle_ref(nb::object self, nb::object ref) {
    bridge::Local<> number = common::expect_int(ref, "ref");
    ensure_init(self);
    bridge::Local<> elem_info = find_entry(state(self), number);
    if (!elem_info.is_valid())
        co_return ref_not_found(number, true);
    co_return co_await backend_of(elem_info).toggle(self, number, elem_info);
}

Coro<> get_focused_window(nb::object self) {
    ensure_init(self);
    co_return co_await backend_for_system().get_focused_window(self);
}

Coro<> list_windows(nb::object self) {
    ensure_init(self);
    co_return co_await backend_for_system().list_windows(self);
}

Coro<> focus_window(nb::object self, nb::object title) {
    bridge::Local<> wanted = text_argument(title, "title");
    ensure_init(self);
    co_return co_await backend_for_system().focus_window(self, wanted);
}

Coro<> scroll_window(nb::object self, nb::object direction, nb::object amount) {
    bridge::Local<> towards = text_argument(direction, "direction");
    bridge::Local<> clicks = common::expect_int(amount, "amount");
    ensure_init(self);
    co_return co_await backend_for_system().scroll(self, towards, clicks);
}

Coro<> press_key(nb::object self, nb::object key) {
    bridge::Local<> name = text_argument(key, "key");
    ensure_init(self);
    co_return co_await backend_for_system().press_key(self, name);
}

} // namespace ombrel::vantor
