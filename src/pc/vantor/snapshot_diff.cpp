#include "pc/vantor/snapshot_diff.h"

#include "pc/vantor/py.h"

#include <climits>
#include <string>
#include <unordered_map>
#include <vector>

namespace ombrel::vantor {

namespace {

/// How many windows' texts are kept for diffs.
constexpr Py_ssize_t KEPT_TEXTS = 8;

constexpr std::string_view CUT_LINE = "[Cut at max_";

/// The UTF-8 bytes of a str (lone surrogates passed through).
std::string utf8(nb::handle text) {
    Py_ssize_t size = 0;
    if (const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size))
        return std::string(data, static_cast<std::size_t>(size));
    PyErr_Clear();
    nb::object bytes =
        py::checked(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    return std::string(common::bytes_view(bytes.ptr()));
}

nb::str from_utf8(std::string_view text) {
    return nb::borrow<nb::str>(py::checked(PyUnicode_DecodeUTF8(
        text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass")));
}

std::size_t indent_of(std::string_view line) {
    std::size_t indent = 0;
    while (indent < line.size() && line[indent] == ' ')
        ++indent;
    return indent;
}

/// The line without its "[n] " (its indent kept).
std::string without_ref(std::string_view line) {
    if (line_ref(line) < 0)
        return std::string(line);
    std::size_t indent = indent_of(line);
    std::size_t close = line.find("] ", indent);
    std::string form(line.substr(0, indent));
    form += line.substr(close + 2);
    return form;
}

/// The closing cut line of a text, or an empty view.
std::string_view cut_line(std::string_view text) {
    std::size_t start = text.rfind('\n');
    std::string_view last = start == std::string_view::npos ? text : text.substr(start + 1);
    return last.starts_with(CUT_LINE) ? last : std::string_view();
}

/// A ref and the one it became, for a run of consecutive refs.
struct Renumbered {
    long long old_ref, new_ref, count;
};

} // namespace

long long line_ref(std::string_view line) {
    std::size_t at = indent_of(line);
    if (at >= line.size() || line[at] != '[')
        return -1;
    long long ref = 0;
    std::size_t digits = 0;
    for (++at; at < line.size() && line[at] >= '0' && line[at] <= '9'; ++at, ++digits) {
        if (ref > (LLONG_MAX - 9) / 10)
            return -1;
        ref = ref * 10 + (line[at] - '0');
    }
    if (!digits || line.substr(at, 2) != "] ")
        return -1;
    return ref;
}

nb::list element_lines(nb::handle text) {
    nb::list lines;
    if (!PyUnicode_Check(text.ptr()))
        return lines;
    bool first = true;
    for (nb::handle line : text.attr("split")("\n")) {
        if (first) { // the header
            first = false;
            continue;
        }
        if (!py::truth(line) || py::truth(line.attr("startswith")(CUT_LINE.data())))
            continue;
        lines.append(line);
    }
    return lines;
}

nb::object line_of_ref(nb::handle text, long long ref) {
    if (!PyUnicode_Check(text.ptr()))
        return nb::none();
    for (nb::handle line : element_lines(text)) {
        std::string bytes = utf8(line);
        if (line_ref(bytes) == ref)
            return from_utf8(std::string_view(bytes).substr(indent_of(bytes)));
    }
    return nb::none();
}

nb::object diff_key(nb::handle window, nb::handle root_line) {
    if (root_line.is_none())
        return nb::borrow(window);
    return nb::make_tuple(window, from_utf8(without_ref(utf8(root_line))));
}

nb::object keep_text(Vantor &controller, nb::handle key, nb::handle text) {
    nb::dict texts = nb::borrow<nb::dict>(controller.previous_texts);
    nb::object previous = nb::none();
    if (PyDict_Contains(texts.ptr(), key.ptr()) == 1) {
        previous = py::item(texts, key);
        if (PyDict_DelItem(texts.ptr(), key.ptr()))
            throw nb::python_error();
    }
    texts[key] = text;
    while (PyDict_Size(texts.ptr()) > KEPT_TEXTS) {
        Py_ssize_t position = 0;
        PyObject *first = nullptr, *value = nullptr;
        PyDict_Next(texts.ptr(), &position, &first, &value);
        nb::object oldest = nb::borrow(first);
        if (PyDict_DelItem(texts.ptr(), oldest.ptr()))
            throw nb::python_error();
    }
    return previous;
}

nb::dict diff_result(nb::dict result, nb::handle previous) {
    nb::object text = result["snapshot"];
    nb::list new_lines = element_lines(text);
    nb::list added, removed, renumbered;
    if (previous.is_none() || !PyUnicode_Check(previous.ptr())) {
        result["added"] = new_lines;
        result["removed"] = removed;
        result["renumbered"] = renumbered;
        result["previous"] = false;
        return result;
    }
    nb::list old_lines = element_lines(previous);

    // The old lines by their form without a ref, in order: each new line
    // takes the first one of its form that no earlier new line took.
    std::unordered_map<std::string, std::vector<std::size_t>> by_form;
    std::vector<std::string> old_forms;
    std::vector<long long> old_refs;
    for (nb::handle line : old_lines) {
        std::string bytes = utf8(line);
        old_refs.push_back(line_ref(bytes));
        old_forms.push_back(without_ref(bytes));
        by_form[old_forms.back()].push_back(old_forms.size() - 1);
    }
    std::unordered_map<std::string, std::size_t> taken;
    std::vector<bool> matched(old_forms.size(), false);
    std::vector<Renumbered> runs;
    for (nb::handle line : new_lines) {
        std::string bytes = utf8(line);
        std::string form = without_ref(bytes);
        auto found = by_form.find(form);
        std::size_t &next = taken[form];
        if (found == by_form.end() || next >= found->second.size()) {
            added.append(line);
            continue;
        }
        std::size_t old = found->second[next++];
        matched[old] = true;
        long long old_ref = old_refs[old], new_ref = line_ref(bytes);
        if (old_ref < 0 || new_ref < 0 || old_ref == new_ref)
            continue;
        if (!runs.empty()) {
            Renumbered &run = runs.back();
            if (run.old_ref + run.count == old_ref && run.new_ref + run.count == new_ref) {
                ++run.count;
                continue;
            }
        }
        runs.push_back({old_ref, new_ref, 1});
    }
    for (std::size_t i = 0; i < old_forms.size(); ++i)
        if (!matched[i])
            removed.append(from_utf8(old_forms[i]));

    std::string full = utf8(text);
    std::string changes = full.substr(0, full.find('\n'));
    changes += '\n';
    Py_ssize_t added_count = common::list_size(added.ptr());
    Py_ssize_t removed_count = common::list_size(removed.ptr());
    if (added_count || removed_count) {
        changes += "Changes since the previous snapshot of this window: ";
        changes += std::to_string(added_count);
        changes += " added, ";
        changes += std::to_string(removed_count);
        changes += " removed.";
    } else {
        changes += "No changes since the previous snapshot of this window.";
    }
    for (nb::handle line : removed) {
        changes += "\n- ";
        changes += utf8(line);
    }
    for (nb::handle line : added) {
        changes += "\n+ ";
        changes += utf8(line);
    }
    auto add_ref = [&changes](long long ref) {
        changes += '[';
        changes += std::to_string(ref);
        changes += ']';
    };
    if (!runs.empty()) {
        changes += "\nRenumbered:";
        bool first = true;
        for (const Renumbered &run : runs) {
            changes += first ? " " : "; ";
            first = false;
            add_ref(run.old_ref);
            if (run.count > 1) {
                changes += '-';
                add_ref(run.old_ref + run.count - 1);
            }
            changes += run.count == 1 ? " is now " : " are now ";
            add_ref(run.new_ref);
            if (run.count > 1) {
                changes += '-';
                add_ref(run.new_ref + run.count - 1);
            }
            nb::dict entry;
            entry["old"] = run.old_ref;
            entry["new"] = run.new_ref;
            entry["count"] = run.count;
            renumbered.append(entry);
        }
        changes += '.';
    }
    std::string_view cut = cut_line(full);
    if (!cut.empty()) {
        changes += '\n';
        changes += cut;
    }
    result["snapshot"] = from_utf8(changes);
    result["added"] = added;
    result["removed"] = removed;
    result["renumbered"] = renumbered;
    result["previous"] = true;
    return result;
}

} // namespace ombrel::vantor
