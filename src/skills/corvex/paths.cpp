// Paths on the hot path of every run: the joins and directories that each
// run computes again from the module's directories and the skill's name.
#include "skills/corvex/corvex.h"

namespace ombrel::corvex {

bool is_plain_path(nb::handle path) {
    static PyTypeObject *type = nullptr;
    if (!type) {
        nb::object sample = make_path(nb::str("."));
        type = (PyTypeObject *) Py_NewRef((PyObject *) Py_TYPE(sample.ptr()));
    }
    return Py_TYPE(path.ptr()) == type;
}

static bool same_text(nb::handle a, nb::handle b) {
    return a.ptr() == b.ptr() || PyUnicode_Compare(a.ptr(), b.ptr()) == 0;
}

nb::object JoinMemo::operator()(nb::handle base, nb::handle name) {
    bool text = PyUnicode_CheckExact(name.ptr());
    if (joined_ && base.ptr() == base_ && text && same_text(name, name_))
        return nb::borrow(joined_);
    nb::object joined = join(base, name);
    if (text && is_plain_path(base)) {
        common::replace_ref(base_, Py_NewRef(base.ptr()));
        common::replace_ref(name_, Py_NewRef(name.ptr()));
        common::replace_ref(joined_, Py_NewRef(joined.ptr()));
    }
    return joined;
}

nb::str ParentMemo::operator()(nb::str path) {
    if (!directory_ || !same_text(path, path_)) {
        static const common::Interned parent("parent");
        nb::str directory = text_of(common::attr(make_path(path), parent));
        common::replace_ref(path_, Py_NewRef(path.ptr()));
        common::replace_ref(directory_, directory.release().ptr());
    }
    return nb::borrow<nb::str>(directory_);
}

/// Whether `path` names an existing directory (links followed), as
/// `path.is_dir()` tells it; a path that cannot be examined counts as no.
static bool is_directory(nb::handle path) {
    static const common::Interned os_module("os"), stat_name("stat"), st_mode("st_mode");
    nb::module_ os = common::import_module(os_module);
    PyObject *args[] = {os.ptr(), path.ptr()};
    PyObject *status = PyObject_VectorcallMethod(stat_name.get().ptr(), args, 2, nullptr);
    if (!status) {
        if (!PyErr_ExceptionMatches(PyExc_OSError) && !PyErr_ExceptionMatches(PyExc_ValueError))
            throw nb::python_error();
        PyErr_Clear();
        return false;
    }
    nb::object mode = common::attr(nb::steal(status), st_mode);
    long bits = PyLong_AsLong(mode.ptr());
    if (bits == -1 && PyErr_Occurred())
        throw nb::python_error();
    // S_IFMT and S_IFDIR, as Python's `stat` module defines them everywhere.
    return (bits & 0170000) == 0040000;
}

void make_directories(nb::handle path) {
    // An existing directory is the usual case: `mkdir` would fail on it,
    // catch the FileExistsError and then examine the path all the same.
    if (is_plain_path(path) && is_directory(path))
        return;
    static PyObject *keywords = nullptr;
    if (!keywords)
        keywords = nb::make_tuple(common::intern("parents"), common::intern("exist_ok"))
                       .release().ptr();
    PyObject *args[] = {path.ptr(), Py_True, Py_True};
    common::checked(PyObject_VectorcallMethod(names::mkdir.get().ptr(), args, 1, keywords));
}

} // namespace ombrel::corvex
