// Clicking and typing into the element of a macOS ref. The entry keeps no
// handle: the script finds the element again in the application's first
// window by its title, or its description when it has no title.
#include "pc/vantor/backends/macos/macos.h"

#include "pc/vantor/py.h"
#include "pc/vantor/results.h"
#include "pc/vantor/snapshot_options.h"
#include "pc/vantor/backends/macos/scripts.h"

namespace ombrel::vantor {

using macos::Scripts;

namespace {

nb::object entry_text(nb::handle elem_info, const char *key) {
    return py::get(elem_info, key, py::names::empty);
}

/// The name the scripts look for: the title, or the description when the
/// title is empty.
nb::object search_name(nb::handle elem_info) {
    nb::object title = entry_text(elem_info, "title");
    return py::truth(title) ? title : entry_text(elem_info, "description");
}

nb::object format(const char *format, nb::handle value) {
    return py::checked(PyUnicode_FromFormat(format, value.ptr()));
}

/// "true" or "false": the AppleScript condition of a flag.
nb::str condition(nb::handle flag) {
    return nb::str(common::truth(flag) ? "true" : "false");
}

Coro<> click_element(nb::object ref, nb::object elem_info, nb::object double_click) {
    bridge::Local<> app = entry_text(elem_info, "app");
    bridge::Local<> role = entry_text(elem_info, "role");
    bridge::Local<> name = search_name(elem_info);
    if (!py::truth(name))
        co_return failure("Element has no identifiable name for clicking", ref);
    bridge::Local<nb::str> script = macos::fill(Scripts::click, {{"app", app}, {"name", name}});
    nb::str answer = co_await macos::answer(script, 15.0);
    if (py::equal(answer, "not_found"))
        co_return failure(format("Element '%S' not found in current window", name), ref);
    if (!py::equal(answer, "clicked"))
        co_return failure(answer, ref);
    nb::dict result = success();
    result["action"] = common::truth(double_click) ? "double_click" : "click";
    result["ref"] = ref;
    result["element"] = py::checked(PyUnicode_FromFormat("%S \"%S\"", role.ptr(), name.ptr()));
    result["hint"] = UPDATED_STATE_HINT;
    co_return result;
}

Coro<> type_into_element(nb::object ref, nb::object elem_info, nb::object text,
                         nb::object clear_first, nb::object press_enter) {
    bridge::Local<> app = entry_text(elem_info, "app");
    bridge::Local<> name = search_name(elem_info);
    // An empty name would match the first element without a title or a
    // description, which is not the element of the ref.
    if (!py::truth(name))
        co_return failure("Element has no identifiable name for typing", ref);
    bridge::Local<nb::str> script = macos::fill(Scripts::type,
                                                {{"app", app},
                                                 {"name", name},
                                                 {"text", text},
                                                 {"clear_first", condition(clear_first)},
                                                 {"press_enter", condition(press_enter)}});
    nb::str answer = co_await macos::answer(script, 15.0);
    if (py::equal(answer, "not_found"))
        co_return failure(format("Element '%S' not found", name), ref);
    if (!py::equal(answer, "typed"))
        co_return failure(answer, ref);
    nb::dict result = success();
    result["action"] = "type";
    result["ref"] = ref;
    result["text"] = text;
    result["pressed_enter"] = press_enter;
    co_return result;
}

/// The stale check: is there still an element of the entry's role with its
/// name in the application's first window? An entry without a name is left
/// to the action, which refuses it.
Coro<> check_element(nb::object ref, nb::object elem_info) {
    bridge::Local<> app = entry_text(elem_info, "app");
    bridge::Local<> role = entry_text(elem_info, "role");
    bridge::Local<> name = search_name(elem_info);
    if (!py::truth(name))
        co_return nb::none();
    bridge::Local<nb::str> script =
        macos::fill(Scripts::element_exists, {{"app", app}, {"role", role}, {"name", name}});
    nb::str answer = co_await macos::answer(script, 15.0);
    if (py::equal(answer, "found"))
        co_return nb::none();
    co_return stale_ref(ref);
}

} // namespace

Coro<> verify_macos(nb::object, nb::object ref, nb::object elem_info) {
    return unchanged_or_stale<&check_element>(ref, ref, elem_info);
}

Coro<> click_ref_macos(nb::object, nb::object ref, nb::object elem_info,
                       nb::object double_click) {
    co_return co_await result_or_failure_for<&click_element>(ref, elem_info, double_click);
}

Coro<> type_ref_macos(nb::object, nb::object ref, nb::object elem_info, nb::object text,
                      nb::object clear_first, nb::object press_enter) {
    co_return co_await result_or_failure_for<&type_into_element>(ref, elem_info, text,
                                                                 clear_first, press_enter);
}

} // namespace ombrel::vantor
