// The controller core: lazy initialisation, argument checks, the ref table
// look-ups, and the hand-over of every operation to the backend of the
// platform (`SYSTEM`, read at each call) or of the ref's entry.
#include "pc/vantor/controller.h"

#include "pc/vantor/backends/backend.h"
#include "pc/vantor/py.h"
#include "pc/vantor/results.h"
#include "pc/vantor/snapshot_diff.h"
#include "pc/vantor/snapshot_options.h"

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

/// A budget argument: None, or an int of 0 or more (a bool is no budget).
nb::object budget_argument(nb::handle value, const char *name) {
    if (value.is_none())
        return nb::none();
    if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr()))
        nb::raise_type_error("%s must be an int or None, not %s", name,
                             common::python_type_name(value).c_str());
    nb::object number = py::checked(PyNumber_Index(value.ptr()));
    if (PyObject_RichCompareBool(number.ptr(), nb::int_(0).ptr(), Py_LT) == 1)
        common::raise_error(PyExc_ValueError, "%s must be 0 or more, not %R", name,
                            number.ptr());
    return number;
}

/// The first line of a text (its header), or None.
nb::object first_line(nb::handle text) {
    if (!PyUnicode_Check(text.ptr()))
        return nb::none();
    return text.attr("split")("\n", 1)[0];
}

/// Whether a window title given with a root names the root's window: it
/// occurs, in any letter case, in the window or the header of the snapshot
/// the root came from.
bool names_window(nb::handle title, nb::handle window, nb::handle header) {
    nb::object wanted = title.attr("casefold")();
    for (nb::handle known : {window, header})
        if (PyUnicode_Check(known.ptr()) && py::contains(known.attr("casefold")(), wanted))
            return true;
    return false;
}

/// Keeps the text of a successful snapshot for diffs (under `key`) and,
/// when asked, turns the result into its diff.
nb::object after_snapshot(Vantor &controller, nb::object result, nb::handle key, bool diff) {
    if (!PyDict_CheckExact(result.ptr()) || !py::truth(py::get(result, "success", Py_False)))
        return result;
    nb::object text = py::get(result, "snapshot", Py_None);
    nb::object window = py::get(result, "window", Py_None);
    if (!PyUnicode_Check(text.ptr()))
        return result;
    nb::object previous = keep_text(controller, key.is_valid() ? key : window, text);
    if (!diff)
        return result;
    return diff_result(nb::borrow<nb::dict>(result), previous);
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

Coro<> snapshot(nb::object self, nb::object window_title, nb::object max_depth,
                nb::object max_elements, nb::object max_chars, nb::object details,
                nb::object root, nb::object diff) {
    if (!window_title.is_none() && !PyUnicode_CheckExact(window_title.ptr()))
        nb::raise_type_error("window_title must be str or None, not %s",
                             common::python_type_name(window_title).c_str());
    bridge::Local<> depth = common::expect_int(max_depth, "max_depth");
    bridge::Local<> elements = budget_argument(max_elements, "max_elements");
    bridge::Local<> chars = budget_argument(max_chars, "max_chars");
    bool detailed = common::truth(details), diffed = common::truth(diff);
    bridge::Local<> root_ref = root.is_none() ? nb::none() : nb::object(common::expect_int(root, "root"));
    ensure_init(self);
    Vantor &controller = state(self);
    if (elements.is_none() && chars.is_none() && !detailed && root_ref.is_none() && !diffed) {
        bridge::Local<> result =
            co_await backend_for_system().snapshot(self, window_title, depth, nb::none());
        co_return after_snapshot(state(self), result, nb::handle(), false);
    }

    bridge::Local<nb::dict> options;
    options["max_elements"] = elements;
    options["max_chars"] = chars;
    options["details"] = detailed;
    const Backend *backend = &backend_for_system();
    bridge::Local<> key;
    if (!root_ref.is_none()) {
        nb::object entry = find_entry(controller, root_ref);
        if (!entry.is_valid())
            co_return failure(py::checked(PyUnicode_FromFormat(
                "Root ref [%S] is not a ref of the last snapshot. Pass one of its refs, or leave "
                "out root for the whole window.",
                root_ref.ptr())));
        nb::object window = controller.last_window.is_none() ? nb::object(nb::str("Unknown"))
                                                             : controller.last_window;
        nb::object header = first_line(controller.last_text);
        if (header.is_none())
            header = py::checked(PyUnicode_FromFormat("Window: %S", window.ptr()));
        if (!window_title.is_none() && py::truth(window_title) &&
            !names_window(window_title, window, header))
            co_return failure(py::checked(PyUnicode_FromFormat(
                "Root ref [%S] is in the window %R, not in one matching %R. Leave out "
                "window_title to take its subtree.",
                root_ref.ptr(), window.ptr(), window_title.ptr())));
        options["root"] = root_ref;
        options["root_entry"] = entry;
        options["window"] = window;
        options["header"] = header;
        options["root_path"] = py::contains(controller.ref_paths, root_ref)
                                   ? py::item(controller.ref_paths, root_ref)
                                   : nb::none();
        options["ref_window"] = controller.ref_window;
        long long number = PyLong_AsLongLong(root_ref.ptr());
        if (number == -1 && PyErr_Occurred())
            PyErr_Clear();
        key = diff_key(window, line_of_ref(controller.last_text, number));
        backend = &backend_of(entry);
    }
    bridge::Local<> result = co_await backend->snapshot(self, window_title, depth, options);
    if (PyDict_CheckExact(result.ptr()) && py::truth(py::get(result, "success", Py_False)) &&
        (!elements.is_none() || !chars.is_none()) && !py::contains(result, nb::str("truncated"))) {
        result["truncated"] = false;
        result["left_out"] = 0;
    }
    co_return after_snapshot(state(self), result, key, diffed);
}

Coro<> click_ref(nb::object self, nb::object ref, nb::object double_click, nb::object verify) {
    bridge::Local<> number = common::expect_int(ref, "ref");
    bridge::Local<> twice = nb::bool_(common::truth(double_click));
    bool check = common::truth(verify);
    ensure_init(self);
    bridge::Local<> elem_info = find_entry(state(self), number);
    if (!elem_info.is_valid())
        co_return ref_not_found(number, false);
    if (check) {
        bridge::Local<> stale = co_await backend_of(elem_info).verify(self, number, elem_info);
        if (!stale.is_none())
            co_return stale;
    }
    co_return co_await backend_of(elem_info).click(self, number, elem_info, twice);
}

Coro<> type_ref(nb::object self, nb::object ref, nb::object text, nb::object clear_first,
                nb::object press_enter, nb::object verify) {
    bridge::Local<> number = common::expect_int(ref, "ref");
    bridge::Local<> typed = text_argument(text, "text");
    bridge::Local<> clear = nb::bool_(common::truth(clear_first));
    bridge::Local<> enter = nb::bool_(common::truth(press_enter));
    bool check = common::truth(verify);
    ensure_init(self);
    bridge::Local<> elem_info = find_entry(state(self), number);
    if (!elem_info.is_valid())
        co_return ref_not_found(number, false);
    if (check) {
        bridge::Local<> stale = co_await backend_of(elem_info).verify(self, number, elem_info);
        if (!stale.is_none())
            co_return stale;
    }
    co_return co_await backend_of(elem_info).type(self, number, elem_info, typed, clear, enter);
}

Coro<> select_ref(nb::object self, nb::object ref, nb::object value, nb::object verify) {
    bridge::Local<> number = common::expect_int(ref, "ref");
    bridge::Local<> wanted = text_argument(value, "value");
    bool check = common::truth(verify);
    ensure_init(self);
    bridge::Local<> elem_info = find_entry(state(self), number);
    if (!elem_info.is_valid())
        co_return ref_not_found(number, true);
    if (check) {
        bridge::Local<> stale = co_await backend_of(elem_info).verify(self, number, elem_info);
        if (!stale.is_none())
            co_return stale;
    }
    co_return co_await backend_of(elem_info).select(self, number, elem_info, wanted);
}

Coro<> toggle_ref(nb::object self, nb::object ref, nb::object verify) {
    bridge::Local<> number = common::expect_int(ref, "ref");
    bool check = common::truth(verify);
    ensure_init(self);
    bridge::Local<> elem_info = find_entry(state(self), number);
    if (!elem_info.is_valid())
        co_return ref_not_found(number, true);
    if (check) {
        bridge::Local<> stale = co_await backend_of(elem_info).verify(self, number, elem_info);
        if (!stale.is_none())
            co_return stale;
    }
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
