#include "pc/vantor/snapshot_options.h"

#include "pc/vantor/py.h"
#include "pc/vantor/results.h"

#include <charconv>
#include <climits>
#include <cmath>

namespace ombrel::vantor {

namespace {

constexpr const char *STATE_NAMES[] = {"focused",  "checked",  "selected",
                                       "expanded", "disabled", "offscreen"};

/// A budget of the options dict: -1 for None or a missing key.
long long budget(nb::handle options, const char *key) {
    nb::object value = py::get(options, key, nb::none());
    if (value.is_none())
        return -1;
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow)
        return overflow > 0 ? LLONG_MAX : -1;
    if (number == -1 && PyErr_Occurred())
        throw nb::python_error();
    return number;
}

} // namespace

SnapshotOptions SnapshotOptions::from(nb::handle options) {
    SnapshotOptions parsed;
    if (options.is_none())
        return parsed;
    parsed.max_elements = budget(options, "max_elements");
    parsed.max_chars = budget(options, "max_chars");
    parsed.details = py::truth(py::get(options, "details", Py_False));
    parsed.root = py::get(options, "root", nb::none());
    parsed.root_entry = py::get(options, "root_entry", nb::none());
    parsed.window = py::get(options, "window", nb::none());
    parsed.header = py::get(options, "header", nb::none());
    parsed.root_path = py::get(options, "root_path", nb::none());
    parsed.ref_window = py::get(options, "ref_window", nb::none());
    return parsed;
}

unsigned state_named(std::string_view name) {
    for (unsigned i = 0; i < std::size(STATE_NAMES); ++i)
        if (name == STATE_NAMES[i])
            return 1u << i;
    return 0;
}

void add_details(SnapshotText &text, unsigned states, const Bounds *bounds) {
    if (states)
        for (unsigned i = 0; i < std::size(STATE_NAMES); ++i)
            if (states & (1u << i)) {
                text.add(" [");
                text.add(STATE_NAMES[i]);
                text.add(']');
            }
    if (!bounds || bounds->empty())
        return;
    // " @x,y,w,h", written at once.
    char written[4 * 21 + 2];
    char *at = written, *end = written + sizeof written;
    *at++ = ' ';
    *at++ = '@';
    const long long numbers[4] = {bounds->x, bounds->y, bounds->width, bounds->height};
    for (int i = 0; i < 4; ++i) {
        if (i)
            *at++ = ',';
        at = std::to_chars(at, end, numbers[i]).ptr;
    }
    text.add(std::string_view(written, static_cast<std::size_t>(at - written)));
}

void add_cut_line(SnapshotText &text, const SnapshotOptions &options, const Cut &cut) {
    if (!cut)
        return;
    bool elements = std::string_view(cut.budget) == "max_elements";
    text.new_line();
    text.add("[Cut at ");
    text.add(cut.budget);
    text.add('=');
    text.add(elements ? options.max_elements : options.max_chars);
    text.add(": at least ");
    text.add(cut.left_out);
    text.add(cut.left_out == 1 ? " more element left out." : " more elements left out.");
    text.add(" Narrow the snapshot: root=REF for one element's subtree, window_title for "
             "one window, or a smaller max_depth.]");
}

void add_budget_keys(nb::dict result, const SnapshotOptions &options, const Cut &cut) {
    if (!options.budgeted())
        return;
    result["truncated"] = static_cast<bool>(cut);
    result["left_out"] = cut.left_out;
}

nb::dict stale_ref(nb::handle ref) {
    nb::dict result = failure(py::checked(PyUnicode_FromFormat(
                                  "Ref [%S] is stale: the element changed since the snapshot. "
                                  "Take a new snapshot.",
                                  ref.ptr())),
                              ref);
    result["stale"] = true;
    return result;
}

} // namespace ombrel::vantor
