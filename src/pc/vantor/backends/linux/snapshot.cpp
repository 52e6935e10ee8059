// The Linux snapshots: the AT-SPI walk in a walker child (one JSON document
// back: from a process of its own, or from the long-lived walker with
// `LINUX_WORKER` set), or what xdotool alone can tell.
#include "pc/vantor/backends/linux/linux.h"

#include "pc/vantor/py.h"
#include "pc/vantor/results.h"
#include "pc/vantor/snapshot_options.h"
#include "pc/vantor/backends/linux/atspi_document.h"
#include "atspi_actions_py.h"
#include "atspi_cache_py.h"
#include "atspi_walker_py.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace ombrel::vantor {

namespace {

constexpr const char *NO_TOOLS =
    "No Linux desktop accessibility tools available. Install xdotool: sudo apt install "
    "xdotool\nFor full accessibility tree: sudo apt install python3-gi gir1.2-atspi-2.0 "
    "at-spi2-core";

/// A str as a JSON string literal, characters outside ASCII kept as they
/// are (UTF-8), so that the child gets the title intact; only quotes,
/// backslashes, control characters and lone surrogates are escaped.
std::string json_literal(nb::handle title) {
    std::string literal = "\"";
    common::Characters text(title.ptr());
    for (Py_ssize_t i = 0; i < text.size(); ++i) {
        Py_UCS4 c = text[i];
        char escape[8];
        if (c == '"' || c == '\\') {
            literal += '\\';
            literal += static_cast<char>(c);
        } else if (c < 0x20 || (c >= 0xD800 && c <= 0xDFFF)) {
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            literal += escape;
        } else if (c < 0x80) {
            literal += static_cast<char>(c);
        } else if (c < 0x800) {
            literal += static_cast<char>(0xC0 | (c >> 6));
            literal += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            literal += static_cast<char>(0xE0 | (c >> 12));
            literal += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            literal += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            literal += static_cast<char>(0xF0 | (c >> 18));
            literal += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            literal += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            literal += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    literal += '"';
    return literal;
}

/// A Python literal of None, a bool, an int, a str, or a list, tuple or
/// dict of those (a tuple is written as a list): the walker's settings.
std::string python_literal(nb::handle value) {
    if (value.is_none())
        return "None";
    if (PyBool_Check(value.ptr()))
        return value.is(Py_True) ? "True" : "False";
    if (PyLong_Check(value.ptr())) {
        nb::object number = py::checked(PyNumber_Index(value.ptr()));
        nb::object digits = py::checked(PyObject_Str(number.ptr()));
        Py_ssize_t size = 0;
        const char *data = PyUnicode_AsUTF8AndSize(digits.ptr(), &size);
        if (!data)
            throw nb::python_error();
        return std::string(data, static_cast<std::size_t>(size));
    }
    if (PyUnicode_Check(value.ptr()))
        return json_literal(value);
    if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) {
        std::string literal = "[";
        bool first = true;
        for (nb::handle item : value) {
            literal += first ? "" : ", ";
            literal += python_literal(item);
            first = false;
        }
        return literal + "]";
    }
    if (PyDict_Check(value.ptr())) {
        std::string literal = "{";
        bool first = true;
        for (auto [key, item] : nb::borrow<nb::dict>(value)) {
            literal += first ? "" : ", ";
            literal += python_literal(key);
            literal += ": ";
            literal += python_literal(item);
            first = false;
        }
        return literal + "}";
    }
    common::raise_error(PyExc_TypeError, "no setting of the AT-SPI walker can be a %s",
                        common::python_type_name(value).c_str());
}

/// The walker's settings that come after the window and the depth, in the
/// order of its head: (name, value) pairs. `actions` and `match_apps` as
/// the module attributes say now.
nb::list later_settings(const SnapshotOptions &options, nb::handle target) {
    nb::list settings;
    auto budget = [](long long value) {
        return value < 0 ? nb::object(nb::none()) : nb::object(nb::int_(value));
    };
    settings.append(nb::make_tuple("max_elements", budget(options.max_elements)));
    settings.append(nb::make_tuple("max_chars", budget(options.max_chars)));
    settings.append(nb::make_tuple("details", nb::bool_(options.details)));
    settings.append(nb::make_tuple("target", target));
    settings.append(nb::make_tuple("actions", nb::bool_(linux_actions())));
    settings.append(nb::make_tuple("match_apps", nb::bool_(linux_extras())));
    return settings;
}

/// The `parts` setting's line: the text of each part of the walker that
/// not every job runs (the walker compiles a part when a job first needs
/// it).
const std::string &parts_setting() {
    static const std::string line = [] {
        nb::dict parts;
        parts["cache"] = nb::str(atspi_cache_py);
        parts["actions"] = nb::str(atspi_actions_py);
        return "parts = " + python_literal(parts) + "\n";
    }();
    return line;
}

/// `atspi_script`: the walker's fixed head, its settings, its fixed body.
/// `target`: None, or the element of a ref to find again (see the walker).
/// `serve`: the script of the long-lived walker (its settings then come
/// with each request).
nb::str atspi_script(nb::handle window_title, nb::handle max_depth,
                     const SnapshotOptions &options = {}, nb::handle target = Py_None,
                     bool serve = false) {
    std::string_view walker(atspi_walker_py);
    std::string_view marker = "# settings\n";
    std::size_t split = walker.find(marker) + marker.size();
    nb::str depth = nb::str(max_depth);
    std::string title = "\"\"";
    if (PyUnicode_Check(window_title.ptr()))
        title = json_literal(window_title);
    else if (py::truth(window_title))
        title = nb::cast<std::string>(common::module_attr(py::names::json, py::names::dumps)(
            window_title, nb::arg("ensure_ascii") = false));
    std::string script(walker.substr(0, split));
    script += "max_depth = ";
    script += depth.c_str();
    script += "\ntarget_title = ";
    script += title;
    for (nb::handle setting : later_settings(options, target)) {
        nb::str name(setting[0]);
        script += "\n";
        script += name.c_str();
        script += " = " + python_literal(setting[1]);
    }
    script += serve ? "\nserve = True\n" : "\nserve = False\n";
    script += parts_setting();
    script += walker.substr(split);
    return nb::str(script.data(), script.size());
}

/// The long-lived walker's request for the same settings: a line of JSON.
nb::bytes atspi_request(nb::handle window_title, nb::handle max_depth,
                        const SnapshotOptions &options, nb::handle target) {
    nb::dict settings;
    settings["max_depth"] = max_depth;
    settings["target_title"] =
        PyUnicode_Check(window_title.ptr()) || py::truth(window_title) ? nb::borrow(window_title)
                                                                       : nb::str("");
    for (nb::handle setting : later_settings(options, target))
        settings[setting[0]] = setting[1];
    nb::str line = nb::str(common::module_attr(py::names::json, py::names::dumps)(settings));
    nb::object encoded = line.attr("encode")("utf-8");
    return nb::bytes(encoded.attr("__add__")(nb::bytes("\n", 1)));
}

/// Runs the walker script in a child of `LINUX_PYTHON` within `seconds`:
/// its standard output and error. A child that may start others (xdotool,
/// to find a window) gets a session of its own, all of it killed on
/// time-out.
Coro<nb::tuple> run_walker_script(nb::object script, double seconds) {
    bridge::Local<nb::list> command;
    command.append(linux_python());
    command.append("-c");
    command.append(script);
    bridge::ProcessOptions options;
    options.timeout = seconds;
    options.own_session = linux_extras();
    co_return co_await bridge::run_process(command, options);
}

/// The walker's job for a snapshot with these options (None: none): None
/// when its root cannot be found again (no path is known for it).
nb::object snapshot_job(nb::handle window_title, nb::handle max_depth, nb::handle options) {
    SnapshotOptions asked = SnapshotOptions::from(options);
    nb::object target = nb::none();
    if (asked.has_root()) {
        target = target_of(asked.root_path, asked.ref_window, asked.root_entry, "root");
        if (target.is_none())
            return nb::none();
    }
    return walker_job(window_title, max_depth, asked, target);
}

/// The walk in a walker child, its document turned into the result.
Coro<> atspi_snapshot(nb::object self, nb::object window_title, nb::object max_depth,
                      nb::object options) {
    bridge::Local<> job = snapshot_job(window_title, max_depth, options);
    if (job.is_none())
        co_return stale_ref(SnapshotOptions::from(options).root);
    nb::tuple done = co_await run_walker(self, job, 15.0);
    nb::object kept;
    std::string_view output = walker_output(done[0], kept);
    if (output.empty()) {
        nb::str errors = decoded(done[1]);
        co_return failure(py::checked(PyUnicode_FromFormat("AT-SPI2 failed: %U", errors.ptr())));
    }
    SnapshotOptions asked = SnapshotOptions::from(options);
    nb::object result =
        atspi_document_result(self, output, options.is_none() ? nullptr : &asked);
    if (asked.has_root() && PyDict_Check(result.ptr()) &&
        py::truth(py::get(result, "stale", Py_False)))
        co_return stale_ref(asked.root);
    co_return result;
}

/// The walker's job for the stale check of a ref: None when no path is
/// known for it.
nb::object check_job(Vantor &controller, nb::handle ref, nb::handle elem_info) {
    nb::object path = py::contains(controller.ref_paths, ref) ? py::item(controller.ref_paths, ref)
                                                              : nb::none();
    nb::object target = target_of(path, controller.ref_window, elem_info, "check");
    if (target.is_none())
        return nb::none();
    return walker_job(nb::str(""), nb::int_(0), {}, target);
}

/// The stale check: the walker finds the element of the ref again by its
/// path and compares its role and name with the entry's.
Coro<> check_path(nb::object self, nb::object ref, nb::object elem_info) {
    bridge::Local<> job = check_job(state(self), ref, elem_info);
    if (job.is_none())
        co_return stale_ref(ref);
    nb::tuple done = co_await run_walker(self, job, 10.0);
    nb::object answer = common::module_attr(py::names::json, py::names::loads)(decoded(done[0]));
    if (py::truth(py::get(answer, "same", Py_False)))
        co_return nb::none();
    co_return stale_ref(ref);
}

const OnError atspi_snapshot_error{
    .log = "Linux AT-SPI2 snapshot failed: %s",
    .texts = {{&PyExc_TimeoutError, "AT-SPI2 snapshot timed out"}},
};

/// The active window, or the first window whose name matches, as xdotool
/// names it.
Coro<> xdotool_snapshot(nb::object self, nb::object window_title) {
    bridge::Local<nb::list> search;
    if (!window_title.is_none() && py::truth(window_title)) {
        search.append("search");
        search.append("--name");
        search.append(window_title);
    } else {
        search.append("getactivewindow");
    }
    bridge::Local<> found = co_await xdotool(search, 5.0);
    bridge::Local<nb::str> id = first_line(nb::str(found));
    if (!py::truth(id))
        co_return failure("No window found");
    bridge::Local<nb::list> naming;
    naming.append("getwindowname");
    naming.append(id);
    nb::object name = co_await xdotool(naming, 5.0);
    reset_ref_table(state(self));
    nb::dict result = success();
    result["window"] = name;
    result["window_id"] = id;
    result["snapshot"] = py::checked(PyUnicode_FromFormat(
        "Window: %S (id: %S)\n\nNote: Full accessibility tree requires AT-SPI2.\nInstall: "
        "sudo apt install python3-gi gir1.2-atspi-2.0 at-spi2-core\nFor now, use "
        "coordinate-based interaction via desktop_click(x, y).",
        name.ptr(), id.ptr()));
    result["element_count"] = 0;
    result["platform"] = "linux_xdotool";
    result["hint"] =
        "Install AT-SPI2 for full element tree, or use screenshot + coordinate clicks.";
    remember_snapshot(state(self), name, result["snapshot"]);
    co_return result;
}

} // namespace

nb::object target_of(nb::handle path, nb::handle window, nb::handle entry, const char *mode) {
    if (path.is_none() || window.is_none() || !path.is_valid() || !window.is_valid())
        return nb::none();
    nb::dict target;
    target["window"] = window;
    target["path"] = path;
    target["role"] = py::get(entry, py::names::role, py::names::empty);
    target["name"] = py::get(entry, py::names::name, py::names::empty);
    target["mode"] = mode;
    return target;
}

nb::str walker_serving_script() { return atspi_script(nb::str(""), nb::int_(8), {}, Py_None, true); }

nb::object walker_job(nb::handle window_title, nb::handle max_depth,
                      const SnapshotOptions &options, nb::handle target) {
    if (linux_worker())
        return atspi_request(window_title, max_depth, options, target);
    return atspi_script(window_title, max_depth, options, target);
}

Coro<nb::tuple> run_walker(nb::object self, nb::object job, double seconds) {
    if (PyBytes_Check(job.ptr()))
        co_return co_await ask_walker_process(self, job, seconds);
    nb::tuple done = co_await run_walker_script(job, seconds);
    co_return nb::make_tuple(done[1], done[2]);
}

nb::str decoded(nb::handle bytes) {
    return nb::str(nb::borrow(bytes).attr("decode")("utf-8", "replace").attr("strip")());
}

Coro<> snapshot_linux_options(nb::object self, nb::object window_title, nb::object max_depth,
                              nb::object options) {
    Vantor &controller = state(self);
    if (controller.linux_atspi_available || SnapshotOptions::from(options).has_root())
        co_return co_await result_or_failure<&atspi_snapshot, atspi_snapshot_error>(
            self, window_title, max_depth, options);
    if (controller.linux_xdotool_available)
        co_return co_await snapshot_linux_xdotool(self, window_title);
    co_return failure(NO_TOOLS);
}

Coro<> snapshot_linux(nb::object self, nb::object window_title, nb::object max_depth) {
    co_return co_await snapshot_linux_options(self, window_title, max_depth, nb::none());
}

Coro<> snapshot_linux_atspi(nb::object self, nb::object window_title, nb::object max_depth) {
    co_return co_await result_or_failure<&atspi_snapshot, atspi_snapshot_error>(
        self, window_title, max_depth, nb::none());
}

Coro<> verify_linux(nb::object self, nb::object ref, nb::object elem_info) {
    if (linux_actions())
        co_return nb::none();
    co_return co_await unchanged_or_stale<&check_path>(ref, self, ref, elem_info);
}

Coro<> snapshot_linux_xdotool(nb::object self, nb::object window_title) {
    co_return co_await result_or_failure<&xdotool_snapshot>(self, window_title);
}

} // namespace ombrel::vantor
