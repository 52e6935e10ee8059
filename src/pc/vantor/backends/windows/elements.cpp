// Acting on the element of a Windows ref: click, type, select and toggle
// through the element's UI Automation patterns on the executor, with mouse
// and keyboard fall-backs through PyAutoGUI on the loop's thread.
#include "pc/vantor/backends/windows/windows.h"

#include "pc/vantor/py.h"
#include "pc/vantor/results.h"

#include <cstddef>
#include <type_traits>

namespace ombrel::vantor {

namespace {

bool is_uiautomation(nb::handle backend) { return py::equal(backend, "uiautomation"); }

/// Calls `element.<pattern_getter>()` (uiautomation) or reads
/// `element.<pattern_getter>` (pywinauto); when that gives a truth pattern,
/// calls its `action()` and answers true. Any error on the way answers false:
/// the caller goes on with its next way.
bool try_pattern(nb::handle element, const char *pattern_getter, bool call_getter,
                 const char *action) {
    return works([&] {
        nb::object pattern = call_getter ? element.attr(pattern_getter)()
                                         : element.attr(pattern_getter);
        if (!py::truth(pattern))
            return false;
        pattern.attr(action)();
        return true;
    });
}

/// The entry's element; a KeyError when a hand-made entry lacks it.
nb::object element_of(nb::handle elem_info) {
    return py::item(elem_info, nb::str("element"));
}

} // namespace

void click_element_sync(nb::object self, nb::object element, nb::object backend,
                        nb::object double_click_flag) {
    (void)self;
    bool double_click = common::truth(double_click_flag);
    if (is_uiautomation(backend)) {
        if (double_click) {
            element.attr("DoubleClick")();
            return;
        }
        if (try_pattern(element, "GetInvokePattern", true, "Invoke"))
            return;
        element.attr("Click")();
        return;
    }
    if (try_pattern(element, "iface_invoke", false, "Invoke"))
        return;
    element.attr(double_click ? "double_click_input" : "click_input")();
}

nb::object element_center_sync(nb::object element, nb::object backend) {
    nb::object rect = is_uiautomation(backend) ? element.attr("BoundingRectangle")
                                               : element.attr("rectangle")();
    nb::object two = nb::int_(2);
    auto middle = [&](const char *low, const char *high) {
        nb::object sum = py::checked(
            PyNumber_Add(rect.attr(low).ptr(), rect.attr(high).ptr()));
        return py::checked(PyNumber_FloorDivide(sum.ptr(), two.ptr()));
    };
    nb::object x = middle("left", "right");
    nb::object y = middle("top", "bottom");
    return nb::make_tuple(x, y);
}

void type_element_sync(nb::object self, nb::object element, nb::object backend,
                       nb::object text, nb::object clear_flag, nb::object enter_flag) {
    (void)self;
    bool clear_first = common::truth(clear_flag), press_enter = common::truth(enter_flag);
    nb::str empty("");
    if (is_uiautomation(backend)) {
        bool set = works([&] {
            nb::object pattern = element.attr("GetValuePattern")();
            if (!py::truth(pattern))
                return false;
            if (clear_first)
                pattern.attr("SetValue")(empty);
            pattern.attr("SetValue")(text);
            if (press_enter)
                nb::module_::import_("uiautomation").attr("SendKeys")("{Enter}");
            return true;
        });
        if (set)
            return;
        element.attr("Click")();
        py::blocking_sleep(0.1);
        if (clear_first) {
            nb::module_::import_("uiautomation").attr("SendKeys")("{Ctrl}a");
            py::blocking_sleep(0.05);
        }
        nb::module_ automation = nb::module_::import_("uiautomation");
        automation.attr("SendKeys")(text, nb::arg("interval") = 0.02);
        if (press_enter)
            automation.attr("SendKeys")("{Enter}");
        return;
    }
    bool set = works([&] {
        nb::object pattern = element.attr("iface_value");
        if (!py::truth(pattern))
            return false;
        if (clear_first)
            pattern.attr("SetValue")(empty);
        pattern.attr("SetValue")(text);
        if (press_enter)
            element.attr("type_keys")("{ENTER}");
        return true;
    });
    if (set)
        return;
    element.attr("click_input")();
    py::blocking_sleep(0.1);
    if (clear_first) {
        element.attr("type_keys")("^a", nb::arg("set_foreground") = false);
        py::blocking_sleep(0.05);
    }
    element.attr("type_keys")(text, nb::arg("with_spaces") = true,
                              nb::arg("set_foreground") = false);
    if (press_enter)
        element.attr("type_keys")("{ENTER}", nb::arg("set_foreground") = false);
}

namespace {

/// Selects the first child of a uiautomation list whose name contains
/// `value` (in any case): through its selection-item pattern, or a click
/// when that fails. False when no child matched.
bool select_child(nb::handle element, nb::handle value) {
    element.attr("GetSelectionPattern")();
    works([&] {
        nb::object expand = element.attr("GetExpandCollapsePattern")();
        if (!py::truth(expand))
            return false;
        expand.attr("Expand")();
        py::blocking_sleep(0.2);
        return true;
    });
    nb::object wanted = value.attr("lower")();
    for (nb::handle child : element.attr("GetChildren")()) {
        nb::object name = child.attr("Name");
        if (!py::truth(name) || !py::contains(name.attr("lower")(), wanted))
            continue;
        bool no_item = false;
        bool selected = works([&] {
            nb::object item = child.attr("GetSelectionItemPattern")();
            no_item = !py::truth(item);
            if (no_item)
                return false;
            item.attr("Select")();
            return true;
        });
        if (no_item)
            continue;
        // The selection-item attempt failed: a click selects it.
        if (!selected)
            child.attr("Click")();
        return true;
    }
    return false;
}

} // namespace

void select_element_sync(nb::object self, nb::object element, nb::object backend,
                         nb::object value) {
    (void)self;
    bool selected = false;
    if (is_uiautomation(backend)) {
        selected = works([&] { return select_child(element, value); });
    } else {
        selected = works([&] {
            element.attr("select")(value);
            return true;
        });
        selected = selected || works([&] {
            element.attr("expand")();
            py::blocking_sleep(0.2);
            nb::object pattern = py::checked(PyUnicode_FromFormat(".*%S.*", value.ptr()));
            element.attr("child_window")(nb::arg("title_re") = pattern).attr("click_input")();
            return true;
        });
    }
    if (!selected)
        common::raise_error(PyExc_RuntimeError, "Could not select '%S'", value.ptr());
}

void toggle_element_sync(nb::object self, nb::object element, nb::object backend) {
    (void)self;
    if (is_uiautomation(backend)) {
        if (try_pattern(element, "GetTogglePattern", true, "Toggle"))
            return;
        element.attr("Click")();
        return;
    }
    if (try_pattern(element, "iface_toggle", false, "Toggle"))
        return;
    element.attr("click_input")();
}

namespace {

/// No fall-back: the element's own way is the only one.
constexpr std::nullptr_t no_fallback = nullptr;

/// The body of an action on the element of a Windows entry: `Act(self,
/// element, backend, args...)` on the executor, then the result
/// `Done(ref, elem_info, args...)`. When `Act` raises an Exception,
/// `Fallback(self, ref, elem_info, center, args...)` through PyAutoGUI at
/// the element's centre may answer instead; when it answers None or raises
/// an Exception of its own, the element's error stands.
template <auto Act, auto Done, auto Fallback, typename... Args>
Coro<> act_on_element(nb::object ref, nb::object self, nb::object elem_info, Args... args) {
    bridge::Local<> element = element_of(elem_info);
    bridge::Local<> backend = entry_backend(elem_info);
    bridge::Outcome acted =
        co_await bridge::outcome(bridge::run_in_executor<Act>(self, element, backend, args...));
    if (acted)
        co_return Done(ref, elem_info, args...);
    if constexpr (!std::is_null_pointer_v<decltype(Fallback)>) {
        if (acted.failed_with(PyExc_Exception)) {
            bridge::Local<> center = co_await get_element_center(self, element, backend);
            if (!center.is_none() && state(self).pyautogui_available) {
                bridge::Local<> instead = co_await result_or_failure<Fallback, no_answer>(
                    self, ref, elem_info, nb::object(center), args...);
                if (!instead.is_none())
                    co_return instead;
            }
        }
    }
    co_await bridge::raise(acted.take_error());
    co_return nb::none(); // not reached: raise() ends the coroutine
}

nb::dict clicked(nb::object ref, nb::object elem_info, nb::object double_click) {
    nb::dict result = success();
    result["action"] = common::truth(double_click) ? "double_click" : "click";
    result["ref"] = ref;
    result["element"] = element_label(elem_info);
    result["hint"] = UPDATED_STATE_HINT;
    return result;
}

/// A real mouse click at the element's centre.
Coro<> click_at_center(nb::object, nb::object ref, nb::object elem_info, nb::object center,
                       nb::object double_click) {
    nb::module_ pyautogui = nb::module_::import_("pyautogui");
    nb::object x = center[0], y = center[1];
    pyautogui.attr(common::truth(double_click) ? "doubleClick" : "click")(x, y);
    nb::dict result = success();
    result["action"] = "click (coordinate fallback)";
    result["ref"] = ref;
    result["element"] = element_label(elem_info);
    result["coordinates"] = nb::make_tuple(x, y);
    co_return result;
}

nb::dict typed(nb::object ref, nb::object elem_info, nb::object text, nb::object,
               nb::object press_enter) {
    nb::dict result = success();
    result["action"] = "type";
    result["ref"] = ref;
    result["element"] = element_label(elem_info);
    result["text"] = text;
    result["pressed_enter"] = common::truth(press_enter);
    return result;
}

/// Keys through PyAutoGUI after a click at the element's centre.
Coro<> type_at_center(nb::object, nb::object ref, nb::object, nb::object center,
                      nb::object text, nb::object clear_first, nb::object press_enter) {
    bridge::Local<nb::module_> pyautogui = nb::module_::import_("pyautogui");
    pyautogui.attr("click")(center[0], center[1]);
    co_await bridge::sleep(0.1);
    if (common::truth(clear_first)) {
        pyautogui.attr("hotkey")("ctrl", "a");
        co_await bridge::sleep(0.05);
    }
    if (py::truth(text.attr("isascii")()))
        pyautogui.attr("typewrite")(text, nb::arg("interval") = 0.02);
    else
        pyautogui.attr("write")(text);
    if (common::truth(press_enter))
        pyautogui.attr("press")("enter");
    nb::dict result = success();
    result["action"] = "type (keyboard fallback)";
    result["ref"] = ref;
    result["text"] = text;
    co_return result;
}

nb::dict selected(nb::object ref, nb::object elem_info, nb::object value) {
    nb::dict result = success();
    result["action"] = "select";
    result["ref"] = ref;
    result["element"] = element_label(elem_info);
    result["value"] = value;
    return result;
}

nb::dict toggled(nb::object ref, nb::object elem_info) {
    nb::dict result = success();
    result["action"] = "toggle";
    result["ref"] = ref;
    result["element"] = element_label(elem_info);
    return result;
}

using nb::object;
constexpr auto click_entry = &act_on_element<&click_element_sync, &clicked, &click_at_center,
                                             object>;
constexpr auto type_into_entry = &act_on_element<&type_element_sync, &typed, &type_at_center,
                                                 object, object, object>;
constexpr auto select_in_entry = &act_on_element<&select_element_sync, &selected, no_fallback,
                                                 object>;
constexpr auto toggle_entry = &act_on_element<&toggle_element_sync, &toggled, no_fallback>;

} // namespace

Coro<> get_element_center(nb::object, nb::object element, nb::object backend) {
    co_return co_await result_or_failure<&on_executor<&element_center_sync, nb::object, nb::object>,
                                         no_answer>(element, backend);
}

Coro<> click_ref_windows(nb::object self, nb::object ref, nb::object elem_info,
                         nb::object double_click) {
    co_return co_await result_or_failure_for<click_entry>(ref, self, elem_info, double_click);
}

Coro<> type_ref_windows(nb::object self, nb::object ref, nb::object elem_info,
                        nb::object text, nb::object clear_first, nb::object press_enter) {
    co_return co_await result_or_failure_for<type_into_entry>(ref, self, elem_info, text,
                                                              clear_first, press_enter);
}

Coro<> select_ref_windows(nb::object self, nb::object ref, nb::object elem_info,
                          nb::object value) {
    co_return co_await result_or_failure_for<select_in_entry>(ref, self, elem_info, value);
}

Coro<> toggle_ref_windows(nb::object self, nb::object ref, nb::object elem_info) {
    co_return co_await result_or_failure_for<toggle_entry>(ref, self, elem_info);
}

} // namespace ombrel::vantor
