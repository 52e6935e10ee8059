// OmbrelContext: the skill's persistent state, one JSON file per skill name.
#include "skills/corvex/corvex.h"

#include <algorithm>
#include <string>

namespace ombrel::corvex {

static const common::Interned os_module("os"), json_module("json"), stat_name("stat"),
    st_mode("st_mode"), read_text("read_text"), loads("loads"), dumps("dumps"),
    indent("indent"), default_name("default"), load_full_state_name("_load_full_state"),
    name_name("name");

/// What is at `path`, without opening it: nothing, a regular file (or a
/// link to one), or something else (a FIFO, a device, a directory: opening
/// one could block the loop for ever).
enum class StatePath { missing, regular, other };

static StatePath examine(nb::handle path) {
    PyObject *args[] = {import_module(os_module).ptr(), path.ptr()};
    PyObject *status = PyObject_VectorcallMethod(stat_name.get().ptr(), args, 2, nullptr);
    if (!status) {
        if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError) &&
            !PyErr_ExceptionMatches(PyExc_NotADirectoryError))
            throw nb::python_error();
        PyErr_Clear();
        return StatePath::missing;
    }
    nb::object mode = common::attr(nb::steal(status), st_mode);
    long bits = PyLong_AsLong(mode.ptr());
    if (bits == -1 && PyErr_Occurred())
        throw nb::python_error();
    // S_ISREG: S_IFMT and S_IFREG as Python's `stat` module defines them on
    // every platform.
    return (bits & 0170000) == 0100000 ? StatePath::regular : StatePath::other;
}

nb::dict load_full_state(nb::handle self) {
    nb::object parsed;
    try {
        nb::object state_file = common::attr(self, names::state_file);
        // Anything but a regular file is unreadable state: not opened.
        if (examine(state_file) != StatePath::regular)
            return nb::dict();
        nb::object text = common::call_method(state_file, read_text);
        parsed = common::call_method(import_module(json_module), loads, text);
    } catch (nb::python_error &e) {
        // A state file that cannot be read or parsed reads as no state.
        if (!e.matches(PyExc_Exception))
            throw;
        return nb::dict();
    }
    if (!PyDict_CheckExact(parsed.ptr()))
        return nb::dict();
    return nb::borrow<nb::dict>(parsed);
}

/// Removes `path`, ignoring a failure to do so.
static void remove_quietly(nb::handle path) {
    try {
        import_module("os").attr("unlink")(path);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError))
            throw;
    }
}

/// Writes `text` to a new file beside `target`, then renames it over
/// `target`: readers see the old content or the new one, never a part.
static void write_atomically(nb::handle target, nb::handle text) {
    static const common::Interned builtins_module("builtins"), secrets_module("secrets"),
        open_name("open"), token_hex_name("token_hex"), exclusive("x"), write("write"),
        close("close"), replace("replace");
    // A plain path is its own `pathlib.Path(target)`.
    nb::object file_path = is_plain_path(target) ? nb::borrow(target) : make_path(target);
    nb::object directory = common::attr(file_path, names::parent);
    nb::object name = common::attr(file_path, name_name);
    nb::object open = common::module_attr(builtins_module, open_name);
    nb::object token_hex = common::module_attr(secrets_module, token_hex_name);
    nb::object eight = nb::int_(8);

    nb::object temporary, file;
    for (int attempt = 0;; ++attempt) {
        nb::object token = common::checked(common::call_one_arg(token_hex.ptr(), eight.ptr()));
        temporary = join(directory, common::checked(PyUnicode_FromFormat(
                                        ".%S.%S.tmp", name.ptr(), token.ptr())));
        // Exclusive creation with the platform's default text encoding and
        // the usual permissions.
        PyObject *open_args[] = {temporary.ptr(), exclusive.get().ptr()};
        PyObject *opened = PyObject_Vectorcall(open.ptr(), open_args, 2, nullptr);
        if (opened) {
            file = nb::steal(opened);
            break;
        }
        if (!PyErr_ExceptionMatches(PyExc_FileExistsError) || attempt >= 100)
            throw nb::python_error();
        PyErr_Clear();
    }
    try {
        try {
            common::call_method(file, write, text);
        } catch (...) {
            try {
                common::call_method(file, close);
            } catch (nb::python_error &) {
            }
            throw;
        }
        common::call_method(file, close);
        PyObject *replace_args[] = {import_module(os_module).ptr(), temporary.ptr(),
                                    file_path.ptr()};
        common::checked(
            PyObject_VectorcallMethod(replace.get().ptr(), replace_args, 3, nullptr));
    } catch (...) {
        remove_quietly(temporary);
        throw;
    }
}

/// `compact`, the text of `json.dumps(value, separators=(",", ": "))`
/// (ASCII, since non-ASCII characters are escaped), laid out as `indent=2`
/// lays it out: each member and item on a line of its own, indented by two
/// spaces a level; empty objects and arrays stay "{}" and "[]".
static nb::object indent_json(nb::handle compact) {
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(compact.ptr(), &size);
    if (!text)
        throw nb::python_error();
    std::string out;
    out.reserve((std::size_t) size + (std::size_t) size / 2);
    std::size_t level = 0;
    auto new_line = [&] {
        out.push_back('\n');
        out.append(2 * level, ' ');
    };
    for (Py_ssize_t i = 0; i < size; ++i) {
        char c = text[i];
        switch (c) {
        case '"': {
            // A string, copied whole: what it holds is no structure.
            Py_ssize_t end = i + 1;
            while (end < size && text[end] != '"')
                end += text[end] == '\\' ? 2 : 1;
            out.append(text + i, (std::size_t) (std::min(end, size - 1) - i + 1));
            i = end;
            break;
        }
        case '{':
        case '[':
            out.push_back(c);
            if (i + 1 < size && text[i + 1] == (c == '{' ? '}' : ']')) {
                out.push_back(text[++i]);
            } else {
                ++level;
                new_line();
            }
            break;
        case '}':
        case ']':
            --level;
            new_line();
            out.push_back(c);
            break;
        case ',':
            out.push_back(c);
            new_line();
            break;
        default:
            out.push_back(c);
        }
    }
    return common::checked(PyUnicode_DecodeASCII(out.data(), (Py_ssize_t) out.size(), nullptr));
}

/// `json.dumps(state, indent=2, default=str)`. Before 3.13 the json module
/// indents through its pure-Python encoder, several times slower than its
/// C encoder; there the C encoder's compact text is indented here instead,
/// to the same characters.
static nb::object state_text(nb::handle state) {
    nb::object dump = common::attr(import_module(json_module), dumps);
    if (common::runs_at_least(0x030D0000)) {
        static PyObject *keywords = nullptr;
        if (!keywords)
            keywords = nb::make_tuple(indent.get(), default_name.get()).release().ptr();
        nb::object layout = nb::int_(2);
        PyObject *args[] = {state.ptr(), layout.ptr(), (PyObject *) &PyUnicode_Type};
        return common::checked(PyObject_Vectorcall(dump.ptr(), args, 1, keywords));
    }
    static const common::Interned separators_name("separators");
    static PyObject *keywords = nullptr, *separators = nullptr;
    if (!keywords) {
        keywords = nb::make_tuple(separators_name.get(), default_name.get()).release().ptr();
        separators = nb::make_tuple(",", ": ").release().ptr();
    }
    PyObject *args[] = {state.ptr(), separators, (PyObject *) &PyUnicode_Type};
    return indent_json(common::checked(PyObject_Vectorcall(dump.ptr(), args, 1, keywords)));
}

void save_state(nb::handle self, nb::handle key, nb::handle value) {
    nb::str name = common::expect_str(key, "key");
    nb::object state_file = common::attr(self, names::state_file);
    if (examine(state_file) == StatePath::other) {
        nb::object message = nb::str("state file {} is not a regular file").format(state_file);
        PyErr_SetObject(PyExc_OSError, message.ptr());
        throw nb::python_error();
    }
    nb::object state = common::call_method(self, load_full_state_name);
    if (PyObject_SetItem(state.ptr(), name.ptr(), value.ptr()) < 0)
        throw nb::python_error();
    // Serialised before anything is written: a value that cannot be stored
    // leaves the file as it was.
    nb::object text = state_text(state);
    write_atomically(common::attr(self, names::state_file), text);
}

nb::object load_state(nb::handle self, nb::handle key, nb::handle default_value) {
    nb::str name = common::expect_str(key, "key");
    nb::object state = common::call_method(self, load_full_state_name);
    PyObject *args[] = {state.ptr(), name.ptr(), default_value.ptr()};
    return common::checked(
        PyObject_VectorcallMethod(names::get.get().ptr(), args, 3, nullptr));
}

void clear_state(nb::handle self) {
    self.attr("_state_file").attr("unlink")("missing_ok"_a = true);
}

} // namespace ombrel::corvex
