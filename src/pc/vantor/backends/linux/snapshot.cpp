// The Linux snapshots: the AT-SPI walk in a `python3` child (one process per
// snapshot, one JSON document back), or what xdotool alone can tell.
#include "pc/vantor/backends/linux/linux.h"

#include "pc/vantor/py.h"
#include "pc/vantor/results.h"
#include "pc/vantor/backends/linux/atspi_document.h"
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

/// `atspi_script`: the walker's fixed head, the two settings, its fixed body.
nb::str atspi_script(nb::handle window_title, nb::handle max_depth) {
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
    script += '\n';
    script += walker.substr(split);
    return nb::str(script.data(), script.size());
}

/// Bytes decoded as UTF-8 (undecodable bytes replaced) and stripped.
nb::str decoded(nb::handle bytes) {
    return nb::str(nb::borrow(bytes).attr("decode")("utf-8", "replace").attr("strip")());
}

/// The walk in a `python3` child, its document turned into the result.
Coro<> atspi_snapshot(nb::object self, nb::object window_title, nb::object max_depth) {
    bridge::Local<nb::list> command;
    command.append("python3");
    command.append("-c");
    command.append(atspi_script(window_title, max_depth));
    bridge::ProcessOptions options;
    options.timeout = 15.0;
    nb::tuple done = co_await bridge::run_process(command, options);
    nb::object kept;
    std::string_view output = walker_output(done[1], kept);
    if (output.empty()) {
        nb::str errors = decoded(done[2]);
        co_return failure(py::checked(PyUnicode_FromFormat("AT-SPI2 failed: %U", errors.ptr())));
    }
    co_return atspi_document_result(self, output);
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
    co_return result;
}

} // namespace

Coro<> snapshot_linux(nb::object self, nb::object window_title, nb::object max_depth) {
    Vantor &controller = state(self);
    if (controller.linux_atspi_available)
        co_return co_await snapshot_linux_atspi(self, window_title, max_depth);
    if (controller.linux_xdotool_available)
        co_return co_await snapshot_linux_xdotool(self, window_title);
    co_return failure(NO_TOOLS);
}

Coro<> snapshot_linux_atspi(nb::object self, nb::object window_title, nb::object max_depth) {
    co_return co_await result_or_failure<&atspi_snapshot, atspi_snapshot_error>(
        self, window_title, max_depth);
}

Coro<> snapshot_linux_xdotool(nb::object self, nb::object window_title) {
    co_return co_await result_or_failure<&xdotool_snapshot>(self, window_title);
}

} // namespace ombrel::vantor
