// Acting on the element of a Linux ref (with `LINUX_ACTIONS` set; without
// it, refs are for reading, click.cpp). The walker finds the element again
// by its path from its window, checks that it is still the one of the ref
// (role, name, and the application and object the snapshot saw) and acts
// on it through AT-SPI in the same run, so that no other element is ever
// acted on. Where AT-SPI offers no way, the walker says where the element is
// (or that it now has the keyboard focus) and xdotool clicks or types.
#include "pc/vantor/backends/linux/linux.h"

#include "pc/vantor/py.h"
#include "pc/vantor/results.h"

#include <string>

namespace ombrel::vantor {

namespace {

/// Seconds a walker run that acts may take (its waits for the application
/// included).
constexpr double ACT_SECONDS = 10.0;

/// The walker's target for acting on the element of a ref: its path, its
/// window (with the application's bus name when the entry has one), its
/// role and name, its object path when known, and `action`. None when it
/// cannot be found again (no path or no window known).
nb::object act_target(Vantor &controller, nb::handle ref, nb::handle entry, nb::handle action) {
    nb::object path = py::get(entry, "path", Py_None);
    if (path.is_none() && py::contains(controller.ref_paths, ref))
        path = py::item(controller.ref_paths, ref);
    nb::object target = target_of(path, controller.ref_window, entry, "act");
    if (target.is_none())
        return target;
    nb::object bus_name = py::get(entry, "bus_name", Py_None);
    if (!bus_name.is_none()) {
        nb::dict window = nb::dict(nb::borrow<nb::dict>(controller.ref_window));
        window["bus_name"] = bus_name;
        target["window"] = window;
    }
    nb::object object_path = py::get(entry, "object_path", Py_None);
    if (!object_path.is_none())
        target["object_path"] = object_path;
    target["action"] = action;
    return target;
}

/// Runs `action` on the element of the ref in the walker: the walker's
/// answer (a dict; {"success": False, "stale": True, ...} when the element
/// is not the ref's any more). RuntimeError when the walker answered
/// nothing.
Coro<> act_in_walker(nb::object self, nb::object ref, nb::object elem_info, nb::object action) {
    bridge::Local<> target = act_target(state(self), ref, elem_info, action);
    if (target.is_none()) {
        nb::dict stale = failure("The element cannot be found again");
        stale["stale"] = true;
        co_return stale;
    }
    bridge::Local<> job = walker_job(nb::str(""), nb::int_(0), {}, target);
    nb::tuple done = co_await run_walker(self, job, ACT_SECONDS);
    nb::str output = decoded(done[0]);
    if (!py::truth(output)) {
        nb::str errors = decoded(done[1]);
        common::raise_error(PyExc_RuntimeError, "AT-SPI2 failed: %U", errors.ptr());
    }
    co_return common::module_attr(py::names::json, py::names::loads)(output);
}

/// Whether the walker's answer is a success.
bool succeeded(nb::handle answer) {
    return PyDict_Check(answer.ptr()) && py::truth(py::get(answer, "success", Py_False));
}

/// The failure for an answer that is not a success: the stale ref's, or the
/// walker's error with the ref (and "choices", when the answer has them).
nb::dict refused(nb::handle answer, nb::handle ref) {
    if (!PyDict_Check(answer.ptr()))
        return failure("AT-SPI2 gave no answer", ref);
    if (py::truth(py::get(answer, "stale", Py_False)))
        return stale_ref(ref);
    nb::dict result = failure(py::get(answer, "error", py::names::empty), ref);
    nb::object choices = py::get(answer, "choices", Py_None);
    if (!choices.is_none())
        result["choices"] = choices;
    return result;
}

/// `role "name"`: the element as the snapshot showed it.
nb::str label(nb::handle elem_info) {
    nb::object role = py::get(elem_info, py::names::role, py::names::empty);
    nb::object name = py::get(elem_info, py::names::name, py::names::empty);
    return nb::steal<nb::str>(
        py::checked(PyUnicode_FromFormat("%S \"%S\"", role.ptr(), name.ptr())).release());
}

/// The result of an action that acted: success, action, ref, element,
/// method and, when the walker names one, the AT-SPI action it did.
nb::dict acted(const char *action, nb::handle ref, nb::handle elem_info, nb::handle answer) {
    nb::dict result = success();
    result["action"] = action;
    result["ref"] = ref;
    result["element"] = label(elem_info);
    result["method"] = py::get(answer, "method", Py_None);
    nb::object name = py::get(answer, "action_name", Py_None);
    if (!name.is_none())
        result["action_name"] = name;
    return result;
}

nb::list args(std::initializer_list<nb::handle> items) {
    nb::list list;
    for (nb::handle item : items)
        list.append(item);
    return list;
}

/// A real click (twice for a double click) at a point of the screen.
Coro<> click_at(nb::object x, nb::object y, bool twice) {
    bridge::Local<nb::list> command =
        args({nb::str("mousemove"), nb::str("--sync"), nb::str(x), nb::str(y), nb::str("click")});
    if (twice)
        command.extend(args({nb::str("--repeat"), nb::str("2"), nb::str("--delay"), nb::str("80")}));
    command.append("1");
    co_await xdotool(command, 5.0);
    co_return nb::none();
}

/// Failure of an action that needs xdotool where there is none.
nb::dict needs_xdotool(const char *what, nb::handle ref) {
    std::string text = std::string("The element offers no AT-SPI way to ") + what +
                       "; xdotool, which would do it instead, is not available";
    return failure(text.c_str(), ref);
}

/// Whether the walker found no AT-SPI way and answered a point to click.
bool by_mouse(nb::handle answer) { return py::equal(py::get(answer, "method", Py_None), "mouse"); }

/// A real click (twice for a double click) at the point the walker
/// answered: None once clicked, else the failure that xdotool is missing
/// (`what`: what the click would have done).
Coro<> click_answered_point(nb::object self, nb::object ref, nb::object answer, bool twice,
                            const char *what) {
    if (!state(self).linux_xdotool_available)
        co_return needs_xdotool(what, ref);
    bridge::Local<> x = py::item(answer, nb::str("x")), y = py::item(answer, nb::str("y"));
    co_await click_at(x, y, twice);
    co_return nb::none();
}

Coro<> click_body(nb::object ref, nb::object self, nb::object elem_info, nb::object double_click) {
    bool twice = py::truth(double_click);
    bridge::Local<nb::dict> action;
    action["kind"] = "click";
    action["double"] = twice;
    bridge::Local<> answer = co_await act_in_walker(self, ref, elem_info, action);
    if (!succeeded(answer))
        co_return refused(answer, ref);
    bool mouse = by_mouse(answer);
    if (mouse) {
        bridge::Local<> refusal = co_await click_answered_point(self, ref, answer, twice, "click it");
        if (!refusal.is_none())
            co_return refusal;
    }
    nb::dict result = acted(twice ? "double_click" : "click", ref, elem_info, answer);
    if (mouse)
        result["coordinates"] = nb::make_tuple(answer["x"], answer["y"]);
    result["hint"] = UPDATED_STATE_HINT;
    co_return result;
}

/// Seconds xdotool may take to type a text (its default delay is 12 ms a
/// character).
double typing_seconds(nb::handle text) {
    return 5.0 + 0.05 * static_cast<double>(PyUnicode_GetLength(text.ptr()));
}

Coro<> type_body(nb::object ref, nb::object self, nb::object elem_info, nb::object text,
                 nb::object clear_first, nb::object press_enter) {
    bool enter = py::truth(press_enter);
    bridge::Local<nb::dict> action;
    action["kind"] = "type";
    action["text"] = text;
    action["clear"] = py::truth(clear_first);
    action["enter"] = enter;
    bridge::Local<> answer = co_await act_in_walker(self, ref, elem_info, action);
    if (!succeeded(answer))
        co_return refused(answer, ref);
    bool keyboard = py::equal(py::get(answer, "method", Py_None), "keyboard");
    if ((keyboard || enter) && !state(self).linux_xdotool_available)
        co_return needs_xdotool(keyboard ? "type into it" : "press Return in it", ref);
    if (keyboard) {
        if (py::truth(clear_first)) {
            bridge::Local<nb::list> select_all =
                args({nb::str("key"), nb::str("--clearmodifiers"), nb::str("ctrl+a")});
            co_await xdotool(select_all, 5.0);
        }
        bridge::Local<nb::list> typing =
            args({nb::str("type"), nb::str("--clearmodifiers"), nb::str("--"), text});
        co_await xdotool(typing, typing_seconds(text));
    }
    if (enter) {
        bridge::Local<nb::list> key = args({nb::str("key"), nb::str("Return")});
        co_await xdotool(key, 5.0);
    }
    nb::dict result = acted("type", ref, elem_info, answer);
    result["text"] = text;
    result["pressed_enter"] = enter;
    nb::object value = py::get(answer, "value", Py_None);
    if (!value.is_none())
        result["value"] = value;
    co_return result;
}

Coro<> select_body(nb::object ref, nb::object self, nb::object elem_info, nb::object value) {
    bridge::Local<nb::dict> action;
    action["kind"] = "select";
    action["value"] = value;
    bridge::Local<> answer = co_await act_in_walker(self, ref, elem_info, action);
    if (!succeeded(answer))
        co_return refused(answer, ref);
    nb::dict result = acted("select", ref, elem_info, answer);
    result["value"] = value;
    co_return result;
}

Coro<> toggle_body(nb::object ref, nb::object self, nb::object elem_info) {
    bridge::Local<nb::dict> action;
    action["kind"] = "toggle";
    bridge::Local<> answer = co_await act_in_walker(self, ref, elem_info, action);
    if (!succeeded(answer))
        co_return refused(answer, ref);
    if (by_mouse(answer)) {
        bridge::Local<> refusal =
            co_await click_answered_point(self, ref, answer, false, "toggle it");
        if (!refusal.is_none())
            co_return refusal;
        bridge::Local<nb::dict> reading;
        reading["kind"] = "state";
        reading["was_checked"] = py::get(answer, "was_checked", Py_None);
        bridge::Local<> now = co_await act_in_walker(self, ref, elem_info, reading);
        nb::dict result = acted("toggle", ref, elem_info, answer);
        result["coordinates"] = nb::make_tuple(answer["x"], answer["y"]);
        result["checked"] = succeeded(now) ? py::get(now, "checked", Py_None) : nb::none();
        co_return result;
    }
    nb::dict result = acted("toggle", ref, elem_info, answer);
    result["checked"] = py::get(answer, "checked", Py_None);
    co_return result;
}

const OnError act_error{
    .log = "Linux AT-SPI2 action failed: %s",
    .texts = {{&PyExc_TimeoutError, "AT-SPI2 action timed out"}},
};

} // namespace

Coro<> click_ref_linux(nb::object self, nb::object ref, nb::object elem_info,
                       nb::object double_click) {
    if (!linux_actions())
        co_return co_await click_ref_read_only(self, ref, elem_info, double_click);
    co_return co_await result_or_failure_for<&click_body, act_error>(ref, self, elem_info,
                                                                      double_click);
}

Coro<> type_ref_linux(nb::object self, nb::object ref, nb::object elem_info, nb::object text,
                      nb::object clear_first, nb::object press_enter) {
    if (!linux_actions())
        co_return co_await type_not_supported(self, ref, elem_info, text, clear_first,
                                              press_enter);
    co_return co_await result_or_failure_for<&type_body, act_error>(ref, self, elem_info, text,
                                                                     clear_first, press_enter);
}

Coro<> select_ref_linux(nb::object self, nb::object ref, nb::object elem_info, nb::object value) {
    if (!linux_actions())
        co_return co_await select_not_supported(self, ref, elem_info, value);
    co_return co_await result_or_failure_for<&select_body, act_error>(ref, self, elem_info,
                                                                       value);
}

Coro<> toggle_ref_linux(nb::object self, nb::object ref, nb::object elem_info) {
    if (!linux_actions())
        co_return co_await toggle_by_click<&click_ref_read_only>(self, ref, elem_info);
    co_return co_await result_or_failure_for<&toggle_body, act_error>(ref, self, elem_info);
}

} // namespace ombrel::vantor
