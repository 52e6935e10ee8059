#include "pc/vantor/backends/linux/atspi_document.h"

#include "pc/vantor/py.h"
#include "pc/vantor/results.h"
#include "pc/vantor/snapshot_options.h"
#include "pc/vantor/snapshot_text.h"
#include "pc/vantor/backends/linux/json_reader.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ombrel::vantor {

namespace {

using json::Value;

/// One element record of the document.
struct Record {
    Value ref, role, name, value, depth;
    /// The ref's path from the window; with details, the states and bounds.
    Value path, states, bounds;
    /// With `LINUX_ACTIONS`: its application's bus name and its object path.
    Value bus_name, object_path;
    /// When the record is not an object: what it is instead.
    Value other;
};

[[noreturn]] void missing_key(const char *key) {
    PyErr_SetObject(PyExc_KeyError, nb::str(key).ptr());
    throw nb::python_error();
}

const Value &required(const Value &value, const char *key) {
    if (value.missing())
        missing_key(key);
    return value;
}

/// `"  " * min(depth, 4)`: the number of indent levels.
long long indent_levels(const Value &depth) {
    if (depth.kind == Value::Kind::boolean)
        return depth.text == "true" ? 1 : 0;
    if (!depth.is_integer())
        common::raise_error(PyExc_TypeError, "can't multiply sequence by non-int of type '%s'",
                            depth.type_name());
    if (depth.text[0] == '-')
        return 0;
    if (depth.text.size() > 1)
        return 4; // two digits or more
    return std::min(depth.text[0] - '0', 4);
}

/// `ref > 0`
bool positive(const Value &ref) {
    switch (ref.kind) {
        case Value::Kind::boolean: return ref.text == "true";
        case Value::Kind::number:
            if (ref.text == "NaN")
                return false;
            return ref.text[0] != '-' && ref.truth();
        default:
            common::raise_error(PyExc_TypeError,
                                "'>' not supported between instances of '%s' and 'int'",
                                ref.type_name());
    }
}

/// The length of the first `limit` code points of UTF-8 text.
std::size_t prefix_bytes(std::string_view text, std::size_t limit) {
    if (text.size() <= limit)
        return text.size(); // never more characters than bytes
    std::size_t points = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && points++ == limit)
            return i;
    }
    return text.size();
}

/// Writes a value as an f-string shows it, the first `limit` characters of
/// it when `limit` is given (`value[:limit]`).
void add_value(SnapshotText &text, const Value &value, std::size_t limit = 0) {
    if (value.is_string()) {
        text.add(limit ? value.text.substr(0, prefix_bytes(value.text, limit)) : value.text);
        return;
    }
    nb::object object = value.to_python();
    if (limit)
        object = py::checked(PySequence_GetSlice(object.ptr(), 0, static_cast<Py_ssize_t>(limit)));
    text.add(object);
}

/// `a != b` for two values of the document.
bool differ(const Value &a, const Value &b) {
    if (a.is_string() && b.is_string())
        return a.text != b.text;
    if (a.is_string() || b.is_string())
        return true;
    int same = PyObject_RichCompareBool(a.to_python().ptr(), b.to_python().ptr(), Py_EQ);
    if (same < 0)
        throw nb::python_error();
    return !same;
}

/// A path of the document (an array of child indices) as a tuple of ints;
/// None for anything else.
nb::object path_tuple(const Value &path) {
    if (path.kind != Value::Kind::array)
        return nb::none();
    nb::list indices;
    json::Reader reader(path.text);
    bool valid = true;
    reader.array([&] {
        Value index = reader.value();
        if (!index.is_integer()) {
            valid = false;
            return;
        }
        indices.append(index.to_python());
    });
    return valid ? nb::object(nb::tuple(indices)) : nb::object(nb::none());
}

/// The states named in an array of the document.
unsigned states_of(const Value &states) {
    unsigned found = 0;
    if (states.kind != Value::Kind::array)
        return found;
    json::Reader reader(states.text);
    reader.array([&] {
        Value name = reader.value();
        if (name.is_string())
            found |= state_named(name.text);
    });
    return found;
}

/// Bounds from an array of four numbers; false for anything else.
bool bounds_of(const Value &value, Bounds &bounds) {
    if (value.kind != Value::Kind::array)
        return false;
    long long numbers[4];
    std::size_t count = 0;
    bool valid = true;
    json::Reader reader(value.text);
    reader.array([&] {
        Value number = reader.value();
        if (number.kind != Value::Kind::number || count == 4) {
            valid = false;
            return;
        }
        std::string digits(number.text);
        double parsed = PyOS_string_to_double(digits.c_str(), nullptr, nullptr);
        if (parsed == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            valid = false;
            return;
        }
        if (!std::isfinite(parsed) || std::fabs(parsed) > 1e15) {
            valid = false;
            return;
        }
        numbers[count++] = std::llround(parsed);
    });
    if (!valid || count != 4)
        return false;
    bounds = {numbers[0], numbers[1], numbers[2], numbers[3]};
    return true;
}

/// The snapshot being built from the records: its text and its ref table,
/// aside from the controller's until the whole document has been read.
class Conversion {
public:
    Conversion(std::size_t expected_text, const SnapshotOptions *options)
        : lines_(expected_text), options_(options), budget_(options),
          details_(options && options->details) {}

    /// The header: "Window: " and the window (with a root, the first line
    /// of the root window's last snapshot), then an empty line.
    void start(const Value &window) {
        lines_.new_line();
        if (options_ && options_->has_root()) {
            lines_.add(options_->header);
        } else {
            lines_.add("Window: ");
            add_value(lines_, required(window, "window"));
        }
        lines_.new_line();
        if (budget_.limits_chars())
            budget_.count_text(lines_);
        started_ = true;
    }

    void add(const Record &record) {
        if (!record.other.missing())
            common::raise_error(PyExc_TypeError, "an element record must be an object, not %s",
                                record.other.type_name());
        long long levels = indent_levels(required(record.depth, "depth"));
        bool interactive = positive(required(record.ref, "ref"));
        if (cut_) {
            ++cut_.left_out;
            return;
        }
        if (interactive)
            add_interactive(record, levels);
        else
            add_context(record, levels);
    }

    /// Installs the table (and the refs' paths, with the document's "place",
    /// their window) and answers the result. `walker_cut` and `left_out`:
    /// the walker's own "cut" and "left_out".
    nb::object finish(Vantor &controller, const Value &window, const Value &place,
                      const Value &walker_cut, const Value &left_out) {
        if (!started_)
            start(window);
        if (options_) {
            if (!cut_ && walker_cut.is_string())
                cut_.budget = walker_cut.text == "max_elements" ? "max_elements" : "max_chars";
            if (cut_ && left_out.is_integer() && left_out.text[0] != '-') {
                long long more = 0;
                auto [end, error] = std::from_chars(
                    left_out.text.data(), left_out.text.data() + left_out.text.size(), more);
                if (error == std::errc())
                    cut_.left_out += more;
            }
            add_cut_line(lines_, *options_, cut_);
        }
        nb::dict result = success();
        nb::object name = window.to_python();
        nb::str text = lines_.text();
        if (options_ && options_->has_root())
            name = options_->window;
        result["window"] = name;
        result["snapshot"] = text;
        result["element_count"] = counter_;
        result["platform"] = "linux_atspi";
        result["hint"] = SNAPSHOT_HINT;
        if (options_)
            add_budget_keys(result, *options_, cut_);
        controller.ref_map = table_;
        controller.ref_counter = counter_;
        controller.ref_paths = paths_;
        controller.ref_window = place.kind == Value::Kind::object ? place.to_python() : nb::none();
        controller.last_text_size = lines_.size();
        remember_snapshot(controller, name, text);
        return result;
    }

private:
    /// Whether the line written since `mark` fits the character budget; one
    /// that does not is taken back, and the conversion is cut.
    bool fits(SnapshotText::Mark mark) {
        if (budget_.take_chars(lines_, mark))
            return true;
        lines_.rollback(mark);
        cut_ = {"max_chars", 1};
        return false;
    }

    void add_details(const Record &record) {
        Bounds bounds;
        bool known = bounds_of(record.bounds, bounds);
        vantor::add_details(lines_, states_of(record.states), known ? &bounds : nullptr);
    }

    void add_interactive(const Record &record, long long levels) {
        const Value &role = required(record.role, "role");
        const Value &name = required(record.name, "name");
        const Value &value = required(record.value, "value");
        long long ref = counter_ + 1;
        SnapshotText::Mark mark = lines_.mark();
        lines_.new_line();
        lines_.add_indent(levels);
        lines_.add('[');
        lines_.add(ref);
        lines_.add("] ");
        add_value(lines_, role);
        if (name.truth()) {
            lines_.add(" \"");
            add_value(lines_, name);
            lines_.add('"');
        }
        if (value.truth() && differ(value, name)) {
            lines_.add(" value=\"");
            add_value(lines_, value, 100);
            lines_.add('"');
        }
        if (details_)
            add_details(record);
        if (!fits(mark))
            return;
        counter_ = ref;
        nb::object entry = py::checked(PyDict_Copy(entry_template()));
        if (PyDict_SetItem(entry.ptr(), py::names::role.ptr(), role_string(role).ptr()) ||
            PyDict_SetItem(entry.ptr(), py::names::name.ptr(), text_string(name).ptr()) ||
            PyDict_SetItem(entry.ptr(), py::names::value.ptr(), text_string(value).ptr()))
            throw nb::python_error();
        nb::object key = py::checked(PyLong_FromLongLong(ref));
        if (PyDict_SetItem(table_.ptr(), key.ptr(), entry.ptr()))
            throw nb::python_error();
        if (!record.path.missing()) {
            nb::object path = path_tuple(record.path);
            if (!path.is_none() && PyDict_SetItem(paths_.ptr(), key.ptr(), path.ptr()))
                throw nb::python_error();
            if (!path.is_none() && !record.object_path.missing())
                add_identity(nb::borrow<nb::dict>(entry), path, record);
        }
    }

    /// What an action needs to find the element again, beyond its role and
    /// name: "path" (from its window), "bus_name" and "object_path".
    static void add_identity(nb::dict entry, nb::handle path, const Record &record) {
        entry["path"] = path;
        entry["bus_name"] = record.bus_name.missing() ? nb::none() : record.bus_name.to_python();
        entry["object_path"] = record.object_path.to_python();
    }

    void add_context(const Record &record, long long levels) {
        const Value &name = required(record.name, "name");
        if (!name.truth())
            return;
        SnapshotText::Mark mark = lines_.mark();
        lines_.new_line();
        lines_.add_indent(levels);
        add_value(lines_, required(record.role, "role"));
        lines_.add(": ");
        add_value(lines_, name, 200);
        if (details_)
            add_details(record);
        fits(mark);
    }

    /// The template entry, {"role": None, "name": None, "value": None,
    /// "backend": "linux_atspi"}, whose copies keep its keys' table; made
    /// once, kept for the interpreter's life.
    static PyObject *entry_template() {
        static PyObject *const made = [] {
            nb::dict entry;
            entry[py::names::role.get()] = nb::none();
            entry[py::names::name.get()] = nb::none();
            entry[py::names::value.get()] = nb::none();
            entry["backend"] = "linux_atspi";
            return entry.release().ptr();
        }();
        return made;
    }

    /// Roles are few and repeated: each is made into a str once.
    nb::object role_string(const Value &role) {
        if (!role.is_string())
            return role.to_python();
        auto found = roles_.find(role.text);
        if (found != roles_.end())
            return found->second;
        nb::object str = role.to_python();
        roles_.emplace(role.text, str);
        return str;
    }

    static nb::object text_string(const Value &value) {
        if (value.is_string() && value.text.empty())
            return nb::borrow(py::names::empty);
        return value.to_python();
    }

    SnapshotText lines_;
    const SnapshotOptions *options_;
    BudgetCounter budget_;
    bool details_;
    Cut cut_;
    bool started_ = false;
    nb::dict table_, paths_;
    long long counter_ = 0;
    std::unordered_map<std::string_view, nb::object> roles_;
};

/// A second "window" or "elements" after the conversion began while the
/// records were read: the document is read again, keeping its records first.
struct ReadAgain {};

/// What a document's top level holds.
struct Document {
    Value success, window;
    /// The window of the paths, the budget that cut the walk, and what it
    /// left out.
    Value place, cut, left_out;
    bool has_elements = false;
    Value elements; // when not an array
    std::vector<Record> records;
    /// The conversion began with the "elements" and the records were
    /// converted as they were read.
    bool started = false, converted = false;
    /// The first record that could not be converted: raised once the
    /// whole text is known to be JSON (Python reads all of it first).
    std::optional<nb::python_error> failed;
};

Record read_record(json::Reader &reader) {
    Record record;
    bool is_object = reader.object([&](std::string_view field) {
        Value v = reader.value();
        if (field == "ref")
            record.ref = v;
        else if (field == "role")
            record.role = v;
        else if (field == "name")
            record.name = v;
        else if (field == "value")
            record.value = v;
        else if (field == "depth")
            record.depth = v;
        else if (field == "path")
            record.path = v;
        else if (field == "states")
            record.states = v;
        else if (field == "bounds")
            record.bounds = v;
        else if (field == "bus_name")
            record.bus_name = v;
        else if (field == "object_path")
            record.object_path = v;
    });
    if (!is_object)
        record.other = reader.value();
    return record;
}

/// Reads the document. Records that come after a true "success" and the
/// "window" (the walker's order) go straight into `conversion` unless
/// `keep_records`; others are kept for later.
void read_document(json::Reader &reader, Conversion &conversion, bool keep_records,
                   Document &doc) {
    bool is_object = reader.object([&](std::string_view key) {
        if (key == "elements") {
            if (doc.started)
                throw ReadAgain{};
            doc.has_elements = true;
            doc.records.clear();
            doc.elements = Value{};
            bool convert = !keep_records && doc.success.truth() && !doc.window.missing();
            if (convert) {
                conversion.start(doc.window);
                doc.started = true;
            }
            bool is_array = reader.array([&] {
                Record record = read_record(reader);
                if (!convert) {
                    doc.records.push_back(record);
                    return;
                }
                if (doc.failed)
                    return;
                try {
                    conversion.add(record);
                } catch (nb::python_error &e) {
                    doc.failed.emplace(std::move(e));
                }
            });
            doc.converted = convert && is_array;
            if (!is_array)
                doc.elements = reader.value();
            return;
        }
        Value v = reader.value();
        if (key == "success")
            doc.success = v;
        else if (key == "place")
            doc.place = v;
        else if (key == "cut")
            doc.cut = v;
        else if (key == "left_out")
            doc.left_out = v;
        else if (key == "window") {
            if (doc.started)
                throw ReadAgain{};
            doc.window = v;
        }
    });
    if (!is_object) {
        Value top = reader.value();
        reader.end();
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute 'get'", top.type_name());
        throw nb::python_error();
    }
    reader.end();
}

nb::object json_loads(std::string_view output) {
    nb::str text(output.data(), output.size());
    return common::module_attr(py::names::json, py::names::loads)(text);
}

bool ascii(std::string_view text) {
    unsigned char any = 0;
    for (char c : text)
        any |= static_cast<unsigned char>(c);
    return any < 0x80;
}

/// White space as str.strip() sees it, among ASCII characters.
bool ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f); }

} // namespace

std::string_view walker_output(nb::handle bytes, nb::object &keep) {
    std::string_view raw = common::bytes_view(bytes.ptr());
    if (ascii(raw)) {
        while (!raw.empty() && ascii_space(raw.front()))
            raw.remove_prefix(1);
        while (!raw.empty() && ascii_space(raw.back()))
            raw.remove_suffix(1);
        return raw;
    }
    keep = nb::borrow(bytes).attr("decode")("utf-8", "replace").attr("strip")();
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(keep.ptr(), &size);
    if (!data)
        throw nb::python_error();
    return std::string_view(data, static_cast<std::size_t>(size));
}

nb::object atspi_document_result(nb::object self, std::string_view output,
                                 const SnapshotOptions *options) {
    Vantor &controller = state(self);
    for (bool keep_records : {false, true}) {
        json::Reader reader(output);
        Conversion conversion(controller.last_text_size, options);
        Document doc;
        try {
            read_document(reader, conversion, keep_records, doc);
        } catch (json::SyntaxError &) {
            // Python's own reader says what is wrong, and where.
            json_loads(output);
            PyErr_SetString(PyExc_ValueError, "the AT-SPI walker's output is not JSON");
            throw nb::python_error();
        } catch (ReadAgain &) {
            continue;
        }
        if (reader.doubtful())
            json_loads(output); // raises where Python's reader refuses the text
        if (!doc.success.truth())
            return json_loads(output);
        if (doc.failed)
            throw std::move(*doc.failed);
        if (doc.has_elements && !doc.elements.missing())
            common::raise_error(PyExc_TypeError, "the walker's \"elements\" must be a list, not %s",
                                doc.elements.type_name());
        if (!doc.converted) {
            conversion.start(doc.window);
            for (const Record &record : doc.records)
                conversion.add(record);
        }
        return conversion.finish(controller, doc.window, doc.place, doc.cut, doc.left_out);
    }
    throw std::logic_error("unreachable");
}

} // namespace ombrel::vantor
