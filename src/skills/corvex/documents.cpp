// OmbrelContext.create_document: a title and a text written to the skill's
// output directory as plain text, Markdown or a Word document.
#include "skills/corvex/corvex.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <vector>

namespace ombrel::corvex {

/// The title as a file name: letters and digits of any script, spaces, "-"
/// and "_" stay, every other character becomes "_".
static nb::str safe_title(nb::str title) {
    common::Characters text(title.ptr());
    Py_ssize_t length = text.size();
    std::vector<Py_UCS4> safe(static_cast<size_t>(length));
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = text[i];
        int alnum = common::is_alnum(c);
        if (alnum < 0)
            throw nb::python_error();
        bool kept = alnum || c == ' ' || c == '-' || c == '_';
        safe[static_cast<size_t>(i)] = kept ? c : Py_UCS4('_');
    }
    nb::object name = nb::steal(common::str_from_ucs4(safe.data(), length));
    if (!name.is_valid())
        throw nb::python_error();
    return nb::borrow<nb::str>(name);
}

static PyObject *checked_text(PyObject *text) {
    if (!text)
        throw nb::python_error();
    return text;
}

/// title, a line of as many "=" as the title has characters, an empty line,
/// the content.
static nb::str plain_layout(nb::str title, nb::str content) {
    nb::object rule = nb::steal(PySequence_Repeat(nb::str("=").ptr(), nb::len(title)));
    if (!rule.is_valid())
        throw nb::python_error();
    return nb::steal<nb::str>(checked_text(
        PyUnicode_FromFormat("%U\n%U\n\n%U", title.ptr(), rule.ptr(), content.ptr())));
}

/// Writes `text` as UTF-8 in text mode (line ends as the platform writes
/// them, as Python's text files do), replacing the file. The file is opened
/// only once the text is encoded: a text that cannot be written as UTF-8
/// leaves an existing file as it was.
static void write_text(nb::str path, nb::str text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data)
        throw nb::python_error();
#ifdef _WIN32
    wchar_t *name = PyUnicode_AsWideCharString(path.ptr(), nullptr);
    if (!name)
        throw nb::python_error();
#else
    nb::object encoded = nb::steal(PyUnicode_EncodeFSDefault(path.ptr()));
    if (!encoded.is_valid())
        throw nb::python_error();
    const char *name = common::bytes_view(encoded.ptr()).data();
#endif
    int error = 0;
    {
        nb::gil_scoped_release unlocked;
#ifdef _WIN32
        FILE *file = _wfopen(name, L"w");
#else
        FILE *file = std::fopen(name, "w");
#endif
        if (!file) {
            error = errno;
        } else {
            if (std::fwrite(data, 1, static_cast<size_t>(size), file) != static_cast<size_t>(size))
                error = errno ? errno : EIO;
            if (std::fclose(file) != 0 && !error)
                error = errno ? errno : EIO;
        }
    }
#ifdef _WIN32
    PyMem_Free(name);
#endif
    if (error) {
        // The OSError subclass that Python's open() or write() would raise.
        errno = error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
        throw nb::python_error();
    }
}

/// A title heading, then one paragraph per non-blank block of the content
/// (blocks are separated by an empty line). False, with nothing written,
/// when python-docx cannot be imported.
static bool write_word(nb::str path, nb::str title, nb::str content) {
    try {
        nb::object document = import_from("docx", "Document")();
        document.attr("add_heading")(title, 0);
        nb::list blocks = nb::borrow<nb::list>(content.attr("split")("\n\n"));
        for (nb::handle block : blocks) {
            nb::object paragraph = block.attr("strip")();
            if (nb::len(paragraph) > 0)
                document.attr("add_paragraph")(paragraph);
        }
        document.attr("save")(path);
        return true;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
        return false;
    }
}

/// `path` with ".docx" replaced by ".txt" in its file name; the directories
/// keep their names, so the text lands beside where the document would have.
static nb::str text_path(nb::str path) {
    Py_ssize_t length = common::str_length(path.ptr());
    Py_ssize_t cut = -1;  // the last separator
    nb::module_ os = import_module("os");
    for (const char *name : {"sep", "altsep"}) {
        nb::object separator = os.attr(name);
        if (separator.is_none())
            continue;
        Py_ssize_t at = PyUnicode_Find(path.ptr(), separator.ptr(), 0, length, -1);
        if (at == -2)
            throw nb::python_error();
        cut = std::max(cut, at);
    }
    nb::object directory = nb::steal(PyUnicode_Substring(path.ptr(), 0, cut + 1));
    nb::object file = nb::steal(PyUnicode_Substring(path.ptr(), cut + 1, length));
    if (!directory.is_valid() || !file.is_valid())
        throw nb::python_error();
    return nb::str("{}{}").format(directory, file.attr("replace")(".docx", ".txt"));
}

nb::str create_document(nb::handle self, nb::handle title, nb::handle content,
                        nb::handle format, nb::handle filename) {
    nb::str heading = common::expect_str(title, "title");
    nb::str text = common::expect_str(content, "content");
    nb::str kind = common::expect_str(format, "format");
    nb::str name = common::expect_str(filename, "filename");

    // A generated name keeps the format as its suffix, whatever it is.
    if (nb::len(name) == 0)
        name = nb::str("{}.{}").format(safe_title(heading), kind);
    nb::str path = text_of(join(self.attr("_output_dir"), name));

    if (PyUnicode_CompareWithASCIIString(kind.ptr(), "docx") == 0) {
        if (!write_word(path, heading, text)) {
            path = text_path(path);
            write_text(path, plain_layout(heading, text));
        }
    } else if (PyUnicode_CompareWithASCIIString(kind.ptr(), "md") == 0) {
        write_text(path, nb::steal<nb::str>(checked_text(
                             PyUnicode_FromFormat("# %U\n\n%U", heading.ptr(), text.ptr()))));
    } else {
        write_text(path, plain_layout(heading, text));
    }
    self.attr("log")(nb::str("Created document: {}").format(path));
    return path;
}

} // namespace ombrel::corvex
