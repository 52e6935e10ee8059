#include "atspi_document.h"

#include "../../py.h"
#include "../../results.h"
#include "../../snapshot_text.h"
#include "json_reader.h"

#include <algorithm>
#include <climits>
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
    bool is_object = true;
};

struct Document {
    Value success, window, elements;
    std::vector<Record> records;
};

Document read_document(json::Reader &reader) {
    Document doc;
    bool is_object = reader.object([&](std::string_view key) {
        if (key == "elements") {
            doc.records.clear();
            doc.elements = Value{Value::Kind::array, {}};
            bool is_array = reader.array([&] {
                Record &record = doc.records.emplace_back();
                record.is_object = reader.object([&](std::string_view field) {
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
                if (!record.is_object)
                    reader.value();
            });
            if (!is_array)
                doc.elements = reader.value();
            return;
        }
        Value v = reader.value();
        if (key == "success")
            doc.success = v;
        else if (key == "window")
            doc.window = v;
    });
    if (!is_object) {
        Value top = reader.value();
        reader.end();
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute 'get'", top.type_name());
        throw nb::python_error();
    }
    reader.end();
    return doc;
}

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
        nb::raise_type_error("can't multiply sequence by non-int of type '%s'", depth.type_name());
    if (depth.text[0] == '-')
        return 0;
    return depth.text.size() > 2 ? 4 : std::min<long long>(std::stoll(std::string(depth.text)), 4);
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
            nb::raise_type_error("'>' not supported between instances of '%s' and 'int'",
                                 ref.type_name());
    }
}

/// The length of the first `limit` code points of UTF-8 text.
std::size_t prefix_bytes(std::string_view text, std::size_t limit) {
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
    if (a.is_string() != b.is_string() && (a.is_string() || b.is_string()))
        return true;
    int same = PyObject_RichCompareBool(a.to_python().ptr(), b.to_python().ptr(), Py_EQ);
    if (same < 0)
        throw nb::python_error();
    return !same;
}

/// Python strings of the document, the roles (few, repeated) made once.
class Strings {
public:
    nb::object role(const Value &value) {
        if (!value.is_string())
            return value.to_python();
        auto found = roles_.find(value.text);
        if (found != roles_.end())
            return found->second;
        nb::object str = value.to_python();
        roles_.emplace(value.text, str);
        return str;
    }
    nb::object text(const Value &value) {
        if (value.is_string() && value.text.empty())
            return nb::borrow(py::names().empty);
        return value.to_python();
    }

private:
    std::unordered_map<std::string_view, nb::object> roles_;
};

/// {"role": None, "name": None, "value": None, "backend": "linux_atspi"}:
/// copies of it keep their keys' table, so filling one in never resizes.
nb::object entry_template() {
    nb::dict entry;
    entry["role"] = nb::none();
    entry["name"] = nb::none();
    entry["value"] = nb::none();
    entry["backend"] = "linux_atspi";
    return entry;
}

} // namespace

nb::object atspi_document_result(nb::object self, nb::str output) {
    Vantor &controller = state(self);
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(output.ptr(), &size);
    if (!data)
        throw nb::python_error();
    std::string_view text(data, static_cast<std::size_t>(size));

    json::Reader reader(text);
    Document doc;
    try {
        doc = read_document(reader);
    } catch (json::SyntaxError &) {
        // Python's own reader says what is wrong, and where.
        common::module_attr("json", "loads")(output);
        PyErr_SetString(PyExc_ValueError, "the AT-SPI walker's output is not JSON");
        throw nb::python_error();
    }
    if (!doc.success.truth())
        return common::module_attr("json", "loads")(output);
    if (doc.elements.kind != Value::Kind::array && !doc.elements.missing())
        nb::raise_type_error("'%s' object is not iterable", doc.elements.type_name());

    // The new table and text are built aside and take the old ones' place at
    // the end: a record that cannot be read leaves the previous refs valid.
    // Made once and kept for the interpreter's life.
    static const nb::handle empty_entry = entry_template().release(),
                            role_key = common::intern("role"), name_key = common::intern("name"),
                            value_key = common::intern("value");
    nb::dict table;
    long long counter = 0;
    Strings strings;
    SnapshotText lines(controller.last_text_size);
    lines.new_line();
    lines.add("Window: ");
    add_value(lines, required(doc.window, "window"));
    lines.new_line();
    for (const Record &record : doc.records) {
        if (!record.is_object)
            nb::raise_type_error("an element record is not an object");
        long long levels = indent_levels(required(record.depth, "depth"));
        if (positive(required(record.ref, "ref"))) {
            const Value &role = required(record.role, "role");
            const Value &name = required(record.name, "name");
            const Value &value = required(record.value, "value");
            long long ref = ++counter;
            nb::object entry = py::checked(PyDict_Copy(empty_entry.ptr()));
            if (PyDict_SetItem(entry.ptr(), role_key.ptr(), strings.role(role).ptr()) ||
                PyDict_SetItem(entry.ptr(), name_key.ptr(), strings.text(name).ptr()) ||
                PyDict_SetItem(entry.ptr(), value_key.ptr(), strings.text(value).ptr()))
                throw nb::python_error();
            nb::object key = py::checked(PyLong_FromLongLong(ref));
            if (PyDict_SetItem(table.ptr(), key.ptr(), entry.ptr()))
                throw nb::python_error();
            lines.new_line();
            lines.add_indent(levels);
            lines.add('[');
            lines.add(ref);
            lines.add("] ");
            add_value(lines, role);
            if (name.truth()) {
                lines.add(" \"");
                add_value(lines, name);
                lines.add('"');
            }
            if (value.truth() && differ(value, name)) {
                lines.add(" value=\"");
                add_value(lines, value, 100);
                lines.add('"');
            }
        } else {
            const Value &name = required(record.name, "name");
            if (!name.truth())
                continue;
            lines.new_line();
            lines.add_indent(levels);
            add_value(lines, required(record.role, "role"));
            lines.add(": ");
            add_value(lines, name, 200);
        }
    }

    nb::dict result = success();
    result["window"] = doc.window.to_python();
    result["snapshot"] = lines.text();
    result["element_count"] = counter;
    result["platform"] = "linux_atspi";
    result["hint"] = SNAPSHOT_HINT;
    controller.ref_map = table;
    controller.ref_counter = counter;
    controller.last_text_size = lines.size();
    return result;
}

} // namespace ombrel::vantor
