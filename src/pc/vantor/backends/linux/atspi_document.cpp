#include "pc/vantor/backends/linux/atspi_document.h"

#include "pc/vantor/py.h"
#include "pc/vantor/results.h"
#include "pc/vantor/snapshot_text.h"
#include "pc/vantor/backends/linux/json_reader.h"

#include <algorithm>
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

/// The snapshot being built from the records: its text and its ref table,
/// aside from the controller's until the whole document has been read.
class Conversion {
public:
    explicit Conversion(std::size_t expected_text) : lines_(expected_text) {}

    /// The header: "Window: " and the window, then an empty line.
    void start(const Value &window) {
        lines_.new_line();
        lines_.add("Window: ");
        add_value(lines_, required(window, "window"));
        lines_.new_line();
        started_ = true;
    }

    void add(const Record &record) {
        if (!record.other.missing())
            common::raise_error(PyExc_TypeError, "an element record must be an object, not %s",
                                record.other.type_name());
        long long levels = indent_levels(required(record.depth, "depth"));
        if (positive(required(record.ref, "ref")))
            add_interactive(record, levels);
        else
            add_context(record, levels);
    }

    /// Installs the table and answers the result.
    nb::object finish(Vantor &controller, const Value &window) {
        if (!started_)
            start(window);
        nb::dict result = success();
        result["window"] = window.to_python();
        result["snapshot"] = lines_.text();
        result["element_count"] = counter_;
        result["platform"] = "linux_atspi";
        result["hint"] = SNAPSHOT_HINT;
        controller.ref_map = table_;
        controller.ref_counter = counter_;
        controller.last_text_size = lines_.size();
        return result;
    }

private:
    void add_interactive(const Record &record, long long levels) {
        const Value &role = required(record.role, "role");
        const Value &name = required(record.name, "name");
        const Value &value = required(record.value, "value");
        long long ref = ++counter_;
        nb::object entry = py::checked(PyDict_Copy(entry_template()));
        if (PyDict_SetItem(entry.ptr(), py::names::role.ptr(), role_string(role).ptr()) ||
            PyDict_SetItem(entry.ptr(), py::names::name.ptr(), text_string(name).ptr()) ||
            PyDict_SetItem(entry.ptr(), py::names::value.ptr(), text_string(value).ptr()))
            throw nb::python_error();
        nb::object key = py::checked(PyLong_FromLongLong(ref));
        if (PyDict_SetItem(table_.ptr(), key.ptr(), entry.ptr()))
            throw nb::python_error();
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
    }

    void add_context(const Record &record, long long levels) {
        const Value &name = required(record.name, "name");
        if (!name.truth())
            return;
        lines_.new_line();
        lines_.add_indent(levels);
        add_value(lines_, required(record.role, "role"));
        lines_.add(": ");
        add_value(lines_, name, 200);
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
    bool started_ = false;
    nb::dict table_;
    long long counter_ = 0;
    std::unordered_map<std::string_view, nb::object> roles_;
};

/// A second "window" or "elements" after the conversion began while the
/// records were read: the document is read again, keeping its records first.
struct ReadAgain {};

/// What a document's top level holds.
struct Document {
    Value success, window;
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

nb::object atspi_document_result(nb::object self, std::string_view output) {
    Vantor &controller = state(self);
    for (bool keep_records : {false, true}) {
        json::Reader reader(output);
        Conversion conversion(controller.last_text_size);
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
        return conversion.finish(controller, doc.window);
    }
    throw std::logic_error("unreachable");
}

} // namespace ombrel::vantor
