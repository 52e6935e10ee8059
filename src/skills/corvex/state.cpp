// OmbrelContext: the skill's persistent state, one JSON file per skill name.
#include "corvex.h"

namespace ombrel::corvex {

/// What is at `path`, without opening it: nothing, a regular file (or a
/// link to one), or something else (a FIFO, a device, a directory: opening
/// one could block the loop for ever).
enum class StatePath { missing, regular, other };

static StatePath examine(nb::handle path) {
    nb::object status;
    try {
        status = import_module("os").attr("stat")(path);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_FileNotFoundError) && !e.matches(PyExc_NotADirectoryError))
            throw;
        return StatePath::missing;
    }
    bool regular = common::truth(import_module("stat").attr("S_ISREG")(status.attr("st_mode")));
    return regular ? StatePath::regular : StatePath::other;
}

nb::dict load_full_state(nb::handle self) {
    nb::object parsed;
    try {
        nb::object state_file = self.attr("_state_file");
        // Anything but a regular file is unreadable state: not opened.
        if (examine(state_file) != StatePath::regular)
            return nb::dict();
        nb::object text = state_file.attr("read_text")();
        parsed = import_module("json").attr("loads")(text);
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
    nb::object file_path = make_path(target);
    nb::object directory = file_path.attr("parent");
    nb::object name = file_path.attr("name");
    nb::object open = import_module("builtins").attr("open");
    nb::object token_hex = import_module("secrets").attr("token_hex");

    nb::object temporary, file;
    for (int attempt = 0;; ++attempt) {
        temporary = join(directory, nb::str(".{}.{}.tmp").format(name, token_hex(8)));
        try {
            // Exclusive creation with the platform's default text encoding
            // and the usual permissions.
            file = open(temporary, "x");
            break;
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_FileExistsError) || attempt >= 100)
                throw;
        }
    }
    try {
        try {
            file.attr("write")(text);
        } catch (...) {
            try {
                file.attr("close")();
            } catch (nb::python_error &) {
            }
            throw;
        }
        file.attr("close")();
        import_module("os").attr("replace")(temporary, file_path);
    } catch (...) {
        remove_quietly(temporary);
        throw;
    }
}

void save_state(nb::handle self, nb::handle key, nb::handle value) {
    nb::str name = common::expect_str(key, "key");
    nb::object state_file = self.attr("_state_file");
    if (examine(state_file) == StatePath::other) {
        nb::object message = nb::str("state file {} is not a regular file").format(state_file);
        PyErr_SetObject(PyExc_OSError, message.ptr());
        throw nb::python_error();
    }
    nb::object state = self.attr("_load_full_state")();
    if (PyObject_SetItem(state.ptr(), name.ptr(), value.ptr()) < 0)
        throw nb::python_error();
    // Serialised before anything is written: a value that cannot be stored
    // leaves the file as it was.
    nb::object text = import_module("json").attr("dumps")(
        state, "indent"_a = 2, "default"_a = nb::handle((PyObject *) &PyUnicode_Type));
    write_atomically(self.attr("_state_file"), text);
}

nb::object load_state(nb::handle self, nb::handle key, nb::handle default_value) {
    nb::str name = common::expect_str(key, "key");
    return self.attr("_load_full_state")().attr("get")(name, default_value);
}

void clear_state(nb::handle self) {
    self.attr("_state_file").attr("unlink")("missing_ok"_a = true);
}

} // namespace ombrel::corvex
