// Finding the elements of the latest snapshot by name and role, and waiting
// for one to appear.
#include "pc/vantor/controller.h"

#include "pc/vantor/py.h"
#include "pc/vantor/results.h"
#include "pc/vantor/snapshot_diff.h"

#include <string_view>

namespace ombrel::vantor {

namespace {

/// A text argument that may be None: exactly a str, or None.
nb::object text_or_none(nb::handle value, const char *name) {
    if (value.is_none() || PyUnicode_CheckExact(value.ptr()))
        return nb::borrow(value);
    nb::raise_type_error("%s must be str or None, not %s", name,
                         common::python_type_name(value).c_str());
}

/// A role as find compares it: case folded, without spaces, "_" and "-",
/// and without the "AX" of a macOS role ("AXCheckBox", "check box" and
/// "CheckBox" are one role).
nb::object role_form(nb::handle role) {
    nb::object text = nb::borrow(role);
    if (py::truth(text.attr("startswith")("AX")))
        text = text.attr("removeprefix")("AX");
    text = text.attr("casefold")();
    for (const char *gap : {" ", "_", "-"})
        text = text.attr("replace")(gap, "");
    return text;
}

/// Whether a ref-table entry matches: its name (a title or description on
/// macOS) contains `name`, in any letter case, and its kind is `role`.
bool entry_matches(nb::handle entry, nb::handle name, nb::handle role) {
    nb::handle none = Py_None;
    if (!role.is_none()) {
        nb::object kind = py::get(entry, py::names::control_type, none);
        if (kind.is_none())
            kind = py::get(entry, py::names::role, none);
        if (!PyUnicode_Check(kind.ptr()) || !py::equal(role_form(kind), role_form(role)))
            return false;
    }
    if (name.is_none())
        return true;
    nb::object wanted = name.attr("casefold")();
    for (const char *key : {"name", "title", "description"}) {
        nb::object text = py::get(entry, key, none);
        if (PyUnicode_Check(text.ptr()) && py::contains(text.attr("casefold")(), wanted))
            return true;
    }
    return false;
}

/// Whether a line without a ref matches: "kind: name" (an element shown for
/// its text) or `kind "name" ...` (a disabled control).
bool line_matches(nb::handle line, nb::handle name, nb::handle role) {
    nb::object text = line.attr("strip")();
    Py_ssize_t colon = nb::cast<Py_ssize_t>(text.attr("find")(": "));
    Py_ssize_t quote = nb::cast<Py_ssize_t>(text.attr("find")(" \""));
    Py_ssize_t split = colon >= 0 && (quote < 0 || colon < quote) ? colon : quote;
    if (split < 0)
        return false;
    nb::object kind = py::checked(PySequence_GetSlice(text.ptr(), 0, split));
    nb::object rest = py::checked(PySequence_GetSlice(text.ptr(), split, PY_SSIZE_T_MAX));
    if (!role.is_none() && !py::equal(role_form(kind), role_form(role)))
        return false;
    return name.is_none() ||
           py::contains(rest.attr("casefold")(), name.attr("casefold")());
}

double loop_time() {
    return nb::cast<double>(bridge::asyncio().attr("get_running_loop")().attr("time")());
}

/// "element named 'OK'", "element of role 'button'", both or neither, for
/// the messages of wait_for.
nb::object wanted_text(nb::handle name, nb::handle role) {
    if (name.is_none() && role.is_none())
        return nb::str("element");
    if (role.is_none())
        return py::checked(PyUnicode_FromFormat("element named %R", name.ptr()));
    if (name.is_none())
        return py::checked(PyUnicode_FromFormat("element of role %R", role.ptr()));
    return py::checked(
        PyUnicode_FromFormat("element named %R of role %R", name.ptr(), role.ptr()));
}

} // namespace

nb::dict find_in_snapshot(Vantor &controller, nb::handle name, nb::handle role) {
    nb::object table = controller.ref_map;
    nb::object text = controller.last_text;
    if (text.is_none())
        return failure("No snapshot yet: take a desktop_snapshot() first.");
    nb::list found;
    for (nb::handle line : element_lines(text)) {
        nb::object shown = line.attr("lstrip")(" ");
        Py_ssize_t size = 0;
        const char *data = PyUnicode_AsUTF8AndSize(shown.ptr(), &size);
        if (!data)
            PyErr_Clear();
        long long number = data ? line_ref(std::string_view(data, static_cast<std::size_t>(size)))
                                : -1;
        nb::object ref = number >= 0 ? nb::object(nb::int_(number)) : nb::none();
        bool matched;
        if (number >= 0 && py::contains(table, ref)) {
            nb::object entry = py::item(table, ref);
            matched = common::is_mapping(entry) && entry_matches(entry, name, role);
        } else {
            matched = line_matches(shown, name, role);
        }
        if (!matched)
            continue;
        nb::dict match;
        match["ref"] = ref;
        match["line"] = shown;
        found.append(match);
    }
    nb::dict result = success();
    result["matches"] = found;
    result["count"] = nb::len(found);
    return result;
}

Coro<> find(nb::object self, nb::object name, nb::object role) {
    bridge::Local<> wanted = text_or_none(name, "name");
    bridge::Local<> kind = text_or_none(role, "role");
    co_return find_in_snapshot(state(self), wanted, kind);
}

Coro<> wait_for(nb::object self, nb::object name, nb::object role, nb::object timeout,
                nb::object interval, nb::object window_title, nb::object max_depth) {
    bridge::Local<> wanted = text_or_none(name, "name");
    bridge::Local<> kind = text_or_none(role, "role");
    double limit = common::expect_seconds(timeout, "timeout");
    double pause = common::expect_seconds(interval, "interval");
    if (!window_title.is_none() && !PyUnicode_CheckExact(window_title.ptr()))
        nb::raise_type_error("window_title must be str or None, not %s",
                             common::python_type_name(window_title).c_str());
    bridge::Local<> depth = common::expect_int(max_depth, "max_depth");

    double started = loop_time();
    double deadline = started + limit;
    long long taken = 0;
    bridge::Local<> last_error = nb::none();
    for (;;) {
        double began = loop_time();
        bridge::Local<> snapshotting =
            snapshot(self, window_title, depth, nb::none(), nb::none(), nb::bool_(false),
                     nb::none(), nb::bool_(false))
                .named("Vantor.snapshot")
                .to_python();
        bridge::Local<> limited = bridge::wait_for(snapshotting, deadline - began);
        bridge::Outcome done = co_await bridge::outcome(limited);
        if (!done) {
            if (!done.failed_with(bridge::timeout_error()))
                co_await bridge::raise(done.take_error());
            break; // the time is up in the middle of a snapshot
        }
        ++taken;
        bridge::Local<> result = done.value();
        if (py::truth(py::get(result, "success", Py_False))) {
            nb::dict found = find_in_snapshot(state(self), wanted, kind);
            if (py::truth(nb::object(found["count"]))) {
                found["elapsed"] = loop_time() - started;
                found["snapshots"] = taken;
                co_return found;
            }
            last_error = nb::none();
        } else {
            last_error = py::get(result, "error", Py_None);
        }
        double next = began + pause;
        if (next >= deadline)
            break;
        double now = loop_time();
        if (next > now)
            co_await bridge::sleep_for(nb::float_(next - now));
    }
    nb::object message = py::checked(PyUnicode_FromFormat(
        "No %U appeared within %R seconds.", wanted_text(wanted, kind).ptr(), timeout.ptr()));
    if (!last_error.is_none())
        message = py::checked(PyUnicode_FromFormat("%U Last snapshot: %S", message.ptr(),
                                                   last_error.ptr()));
    nb::dict result = failure(message);
    result["matches"] = nb::list();
    result["count"] = 0;
    result["elapsed"] = loop_time() - started;
    result["snapshots"] = taken;
    co_return result;
}

} // namespace ombrel::vantor
