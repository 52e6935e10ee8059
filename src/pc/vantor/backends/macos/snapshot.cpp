// The macOS snapshot: one script lists every element of the target
// application's first window as "role|title|description|value|enabled"
// lines; here they are classified, numbered and written as the snapshot
// text.
#include "pc/vantor/backends/macos/macos.h"

#include "pc/vantor/py.h"
#include "pc/vantor/results.h"
#include "pc/vantor/snapshot_options.h"
#include "pc/vantor/snapshot_text.h"
#include "pc/vantor/backends/macos/scripts.h"

#include <algorithm>
#include <climits>

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

/// The states and bounds fields of a detailed line ("focused,checked," and
/// "x,y,w,h"), written after it.
void add_line_details(SnapshotText &text, nb::handle states_field, nb::handle bounds_field,
                      bool enabled) {
    unsigned states = enabled ? 0u : State::disabled;
    for (nb::handle name : states_field.attr("split")(",")) {
        Py_ssize_t size = 0;
        if (const char *data = PyUnicode_AsUTF8AndSize(name.ptr(), &size))
            states |= state_named(std::string_view(data, static_cast<std::size_t>(size)));
        else
            PyErr_Clear();
    }
    Bounds bounds;
    nb::list numbers = nb::borrow<nb::list>(bounds_field.attr("split")(","));
    bool complete = nb::len(numbers) == 4;
    long long values[4] = {};
    for (std::size_t i = 0; complete && i < 4; ++i) {
        nb::object number = py::checked(common::int_from_text(numbers[i].ptr()));
        values[i] = PyLong_AsLongLong(number.ptr());
        if (values[i] == -1 && PyErr_Occurred())
            throw nb::python_error();
    }
    if (complete)
        bounds = {values[0], values[1], values[2], values[3]};
    add_details(text, states, complete ? &bounds : nullptr);
}

/// Whether a bounds field is four integers: the only ones read.
bool plain_bounds(nb::handle field) {
    nb::list numbers = nb::borrow<nb::list>(field.attr("split")(","));
    if (nb::len(numbers) != 4)
        return false;
    for (nb::handle number : numbers) {
        nb::object digits = number.attr("lstrip")("-");
        if (!py::truth(digits) || !py::truth(digits.attr("isdigit")()) ||
            !py::truth(digits.attr("isascii")()))
            return false;
    }
    return true;
}

/// What reading the tree script's output found besides the text.
struct TreeEnd {
    Cut cut;
    /// The script did not find the root element again.
    bool stale = false;
};

/// Numbers and writes the element lines of the tree script's output into a
/// fresh ref table; answers the snapshot text. With options, their budgets,
/// details and the script's own "Cut:" and "Stale:" lines are read too
/// (a stale root leaves the table as it was).
nb::str read_tree(Vantor &controller, nb::handle output, nb::handle app,
                  const SnapshotOptions *options, TreeEnd &end) {
    Roles roles;
    nb::object lines = output.attr("split")("\n");
    if (options)
        for (nb::handle raw : lines)
            if (starts_with(strip(raw), "Stale:")) {
                end.stale = true;
                return nb::str("");
            }
    nb::dict table = reset_ref_table(controller);
    nb::str bar("|"), macos_name("macos");
    SnapshotText text(controller.last_text_size);
    BudgetCounter budget(options);
    bool details = options && options->details;
    long long unread = 0; // element lines after a cut
    for (nb::handle raw : lines) {
        nb::object line = strip(raw);
        if (!py::truth(line))
            continue;
        if (options && starts_with(line, "Cut:")) {
            // "Cut: <budget>|<elements left out>", from the script.
            nb::object fields = strip(line.attr("removeprefix")("Cut:")).attr("split")(bar);
            nb::object count = strip(fields[nb::len(fields) - 1]);
            if (!end.cut)
                end.cut = {py::equal(strip(fields[0]), "max_elements") ? "max_elements"
                                                                       : "max_chars",
                           0};
            if (py::truth(count.attr("isdigit")()) && py::truth(count.attr("isascii")())) {
                nb::object number = py::checked(common::int_from_text(count.ptr()));
                int overflow = 0;
                long long left = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
                if (!overflow && left > 0)
                    end.cut.left_out += left;
            }
            continue;
        }
        if (starts_with(line, "Window:") || starts_with(line, "Error")) {
            if (end.cut)
                continue;
            text.new_line();
            text.add(line);
            if (budget.limits_chars())
                budget.count_text(text);
            continue;
        }
        nb::object fields = line.attr("split")(bar);
        if (nb::len(fields) < 5)
            continue;
        if (end.cut) {
            ++unread;
            continue;
        }
        nb::object role = strip(fields[0]);
        nb::object title = strip(fields[1]);
        nb::object description = strip(fields[2]);
        nb::object value = strip(fields[3]);
        bool enabled = py::equal(strip(fields[4]).attr("lower")(), "true");
        nb::object label = py::truth(title) ? title : description;
        std::size_t count = nb::len(fields);
        bool with_details = details && count >= 7 && plain_bounds(strip(fields[count - 1]));
        auto add_line_end = [&] {
            if (details)
                add_line_details(text, with_details ? strip(fields[count - 2]) : nb::str(""),
                                 with_details ? strip(fields[count - 1]) : nb::str(""), enabled);
        };
        SnapshotText::Mark mark = text.mark();
        bool interactive = roles.is_interactive(role);

        if (interactive && enabled) {
            text.new_line();
            text.add("  [");
            text.add(controller.ref_counter + 1);
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
            add_line_end();
            if (!budget.take_chars(text, mark)) {
                text.rollback(mark);
                end.cut = {"max_chars", 0};
                ++unread;
                continue;
            }
            long long ref = ++controller.ref_counter;
            nb::dict entry;
            entry["role"] = role;
            entry["title"] = title;
            entry["description"] = description;
            entry["value"] = value;
            entry["backend"] = macos_name;
            entry["app"] = app;
            table[nb::int_(ref)] = entry;
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
            add_line_end();
            if (!budget.take_chars(text, mark)) {
                text.rollback(mark);
                end.cut = {"max_chars", 0};
                ++unread;
            }
        }
    }
    end.cut.left_out += unread;
    if (options)
        add_cut_line(text, *options, end.cut);
    controller.last_text_size = text.size();
    return text.text();
}

/// The depth the tree script notes, at most 4: the walk reads every level.
nb::object noted_depth(nb::handle max_depth) {
    nb::object depth = common::expect_int(max_depth, "max_depth");
    nb::object four = nb::int_(4);
    return PyObject_RichCompareBool(depth.ptr(), four.ptr(), Py_GT) == 1 ? four : depth;
}

/// A number for a script: the budget, or 0 for none.
nb::int_ script_budget(long long budget) { return nb::int_(budget < 0 ? 0 : budget); }

/// The tree script for the application and the options (None: the plain
/// one).
nb::str tree_script(nb::handle app, nb::handle depth, nb::handle options) {
    if (options.is_none())
        return macos::fill(Scripts::tree, {{"app", app}, {"depth", depth}});
    SnapshotOptions asked = SnapshotOptions::from(options);
    // The script stops collecting well past the text's budget: its lines are
    // not the text's, and the text is cut exactly here.
    long long output =
        asked.max_chars < 0 ? -1 : 2 * std::min(asked.max_chars, LLONG_MAX / 4) + 1000;
    nb::object root_entry = asked.has_root() ? asked.root_entry : nb::object(nb::dict());
    nb::object title = py::get(root_entry, "title", py::names::empty);
    nb::object root_name =
        py::truth(title) ? title : py::get(root_entry, "description", py::names::empty);
    return macos::fill(Scripts::tree_options,
                       {{"app", app},
                        {"depth", depth},
                        {"max_elements", script_budget(asked.max_elements)},
                        {"max_output", script_budget(output)},
                        {"details", nb::str(asked.details ? "true" : "false")},
                        {"has_root", nb::str(asked.has_root() ? "true" : "false")},
                        {"root_role", py::get(root_entry, "role", py::names::empty)},
                        {"root_name", root_name}});
}

Coro<> read_window(nb::object self, nb::object window_title, nb::object max_depth,
                   nb::object options) {
    Vantor &controller = state(self);
    bridge::Local<> depth = noted_depth(max_depth);
    bridge::Local<nb::str> app;
    if (SnapshotOptions::from(options).has_root()) {
        app = nb::str(py::get(SnapshotOptions::from(options).root_entry, "app", py::names::empty));
    } else if (!window_title.is_none() && py::truth(window_title)) {
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

    bridge::Local<nb::str> tree = tree_script(app, depth, options);
    nb::tuple finished = co_await macos::run(tree, 30.0);
    nb::str output = macos::decode_lenient(finished[1]);
    if (!py::truth(output)) {
        nb::dict result = failure(py::checked(
            PyUnicode_FromFormat("Could not read accessibility tree: %S",
                                 macos::decode_lenient(finished[2]).ptr())));
        result["hint"] = PERMISSION_HINT;
        co_return result;
    }

    SnapshotOptions asked = SnapshotOptions::from(options);
    const SnapshotOptions *given = options.is_none() ? nullptr : &asked;
    TreeEnd end;
    nb::str snapshot = read_tree(controller, output, app, given, end);
    if (end.stale)
        co_return stale_ref(asked.root);
    nb::dict result = success();
    result["window"] = app;
    result["snapshot"] = snapshot;
    result["element_count"] = controller.ref_counter;
    result["platform"] = "macos";
    result["hint"] = SNAPSHOT_HINT;
    if (given)
        add_budget_keys(result, asked, end.cut);
    remember_snapshot(controller, app, snapshot);
    co_return result;
}

const OnError snapshot_error{
    .log = "macOS snapshot failed: %s",
    .texts = {{&PyExc_TimeoutError, "AppleScript timed out reading accessibility tree"}},
};

} // namespace

Coro<> snapshot_macos_options(nb::object self, nb::object window_title, nb::object max_depth,
                              nb::object options) {
    if (!state(self).macos_available)
        co_return failure("macOS accessibility not available (osascript not found).");
    co_return co_await result_or_failure<&read_window, snapshot_error>(self, window_title,
                                                                       max_depth, options);
}

Coro<> snapshot_macos(nb::object self, nb::object window_title, nb::object max_depth) {
    co_return co_await snapshot_macos_options(self, window_title, max_depth, nb::none());
}

} // namespace ombrel::vantor
