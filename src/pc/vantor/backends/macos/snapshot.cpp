// The macOS snapshot: one script lists every element of the target
// application's first window as "role|title|description|value|enabled"
// lines; here they are classified, numbered and written as the snapshot
// text.
#include "pc/vantor/backends/macos/macos.h"

#include "pc/vantor/py.h"
#include "pc/vantor/results.h"
#include "pc/vantor/snapshot_text.h"
#include "pc/vantor/backends/macos/scripts.h"

namespace ombrel::vantor {

using macos::Scripts;

namespace {

constexpr const char *PERMISSION_HINT =
    "Ensure the app has accessibility permissions. Go to System Settings > Privacy & "
    "Security > Accessibility and add Terminal / your terminal app.";

/// Role fragments that make any "AX" role interactive.
constexpr const char *INTERACTIVE_FRAGMENTS[] = {
    "Button", "CheckBox", "ComboBox", "TextField", "Link", "MenuItem",
    "RadioButton", "Slider", "Tab", "PopUp", "TextArea"};

nb::object strip(nb::handle text) { return text.attr("strip")(); }

bool starts_with(nb::handle text, const char *prefix) {
    return py::truth(text.attr("startswith")(prefix));
}

/// A `str` cut to its first `length` characters.
nb::object head(nb::handle text, Py_ssize_t length) {
    return py::checked(PyUnicode_Substring(text.ptr(), 0, length));
}

struct Roles {
    nb::object interactive = module_attr(py::names::INTERACTIVE_TYPES);
    nb::object context = module_attr(py::names::CONTEXT_TYPES);

    bool is_interactive(nb::handle role) const {
        if (py::contains(interactive, role))
            return true;
        if (!starts_with(role, "AX"))
            return false;
        for (const char *fragment : INTERACTIVE_FRAGMENTS)
            if (py::contains(role, nb::str(fragment)))
                return true;
        return false;
    }
    bool is_context(nb::handle role) const {
        return py::contains(context, role) || py::equal(role, "AXStaticText") ||
               py::equal(role, "AXGroup");
    }
};

/// The role without "AX", lower-cased: "AXPopUpButton" gives popupbutton.
nb::object short_role(nb::handle role) {
    return role.attr("replace")("AX", "").attr("lower")();
}

/// Numbers and writes the element lines of the tree script's output into a
/// fresh ref table; answers the snapshot text.
nb::str read_tree(Vantor &controller, nb::handle output, nb::handle app) {
    Roles roles;
    nb::dict table = reset_ref_table(controller);
    nb::str bar("|"), macos_name("macos");
    SnapshotText text(controller.last_text_size);
    for (nb::handle raw : output.attr("split")("\n")) {
        nb::object line = strip(raw);
        if (!py::truth(line))
            continue;
        if (starts_with(line, "Window:") || starts_with(line, "Error")) {
            text.new_line();
            text.add(line);
            continue;
        }
        nb::object fields = line.attr("split")(bar);
        if (nb::len(fields) < 5)
            continue;
        nb::object role = strip(fields[0]);
        nb::object title = strip(fields[1]);
        nb::object description = strip(fields[2]);
        nb::object value = strip(fields[3]);
        bool enabled = py::equal(strip(fields[4]).attr("lower")(), "true");
        nb::object label = py::truth(title) ? title : description;

        if (roles.is_interactive(role) && enabled) {
            long long ref = ++controller.ref_counter;
            nb::dict entry;
            entry["role"] = role;
            entry["title"] = title;
            entry["description"] = description;
            entry["value"] = value;
            entry["backend"] = macos_name;
            entry["app"] = app;
            table[nb::int_(ref)] = entry;
            text.new_line();
            text.add("  [");
            text.add(ref);
            text.add("] ");
            text.add(short_role(role));
            if (py::truth(label)) {
                text.add(" \"");
                text.add(label);
                text.add('"');
            }
            if (py::truth(value) && !py::equal(value, label)) {
                text.add(" value=\"");
                text.add(head(value, 100));
                text.add('"');
            }
        } else if (roles.is_context(role) && py::truth(label)) {
            text.new_line();
            text.add("  ");
            text.add(short_role(role));
            text.add(": ");
            if (nb::len(label) > 200) {
                text.add(head(label, 200));
                text.add("...");
            } else {
                text.add(label);
            }
        }
    }
    controller.last_text_size = text.size();
    return text.text();
}

/// The depth the tree script notes, at most 4: the walk reads every level.
nb::object noted_depth(nb::handle max_depth) {
    nb::object depth = common::expect_int(max_depth, "max_depth");
    nb::object four = nb::int_(4);
    return PyObject_RichCompareBool(depth.ptr(), four.ptr(), Py_GT) == 1 ? four : depth;
}

Coro<> read_window(nb::object self, nb::object window_title, nb::object max_depth) {
    Vantor &controller = state(self);
    bridge::Local<> depth = noted_depth(max_depth);
    bridge::Local<nb::str> app;
    if (!window_title.is_none() && py::truth(window_title)) {
        bridge::Local<nb::str> lookup = macos::fill(Scripts::window_app, {{"title", window_title}});
        app = co_await macos::answer(lookup, 10.0);
        if (!py::truth(app))
            co_return failure(py::checked(
                PyUnicode_FromFormat("No window found matching: %S", window_title.ptr())));
    } else {
        bridge::Local<nb::str> lookup = macos::fill(Scripts::frontmost_app);
        app = co_await macos::answer(lookup, 10.0);
        if (!py::truth(app))
            co_return failure("No frontmost application found");
    }

    bridge::Local<nb::str> tree = macos::fill(Scripts::tree, {{"app", app}, {"depth", depth}});
    nb::tuple finished = co_await macos::run(tree, 30.0);
    nb::str output = macos::decode_lenient(finished[1]);
    if (!py::truth(output)) {
        nb::dict result = failure(py::checked(
            PyUnicode_FromFormat("Could not read accessibility tree: %S",
                                 macos::decode_lenient(finished[2]).ptr())));
        result["hint"] = PERMISSION_HINT;
        co_return result;
    }

    nb::str snapshot = read_tree(controller, output, app);
    nb::dict result = success();
    result["window"] = app;
    result["snapshot"] = snapshot;
    result["element_count"] = controller.ref_counter;
    result["platform"] = "macos";
    result["hint"] = SNAPSHOT_HINT;
    co_return result;
}

const OnError snapshot_error{
    .log = "macOS snapshot failed: %s",
    .texts = {{&PyExc_TimeoutError, "AppleScript timed out reading accessibility tree"}},
};

} // namespace

Coro<> snapshot_macos(nb::object self, nb::object window_title, nb::object max_depth) {
    if (!state(self).macos_available)
        co_return failure("macOS accessibility not available (osascript not found).");
    co_return co_await result_or_failure<&read_window, snapshot_error>(self, window_title,
                                                                       max_depth);
}

} // namespace ombrel::vantor
