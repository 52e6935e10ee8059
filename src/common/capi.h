// The parts of the C API that differ between our two kinds of build, one
// helper each.
//
// A version-specific build (CPython 3.10, 3.11, 3.13, ...) uses the
// interpreter's fast forms: macros that read a str, tuple or list in place,
// the fields of a type object, checks of exact types. The stable-ABI build
// (`Py_LIMITED_API`, one module for CPython 3.12 and every later version)
// may only call the functions of the limited API, which do the same at the
// price of a call; and since it runs on interpreters newer than its headers,
// behaviour that depends on the interpreter's version is decided at run
// time there (`runs_at_least`). The helpers below give each build its own
// form, so module code reads the same in both and the version-specific
// builds compile to what they did before. Helpers that merely fill in for
// an older CPython (3.10) are here too.
//
// `UnchangedType` (unchanged_type.h) is the one other helper with a form of
// its own for the stable ABI.
#pragma once

#include <Python.h>

#include <nanobind/nanobind.h>

#include <cstring>
#include <string_view>
#include <type_traits>

namespace ombrel::common {

namespace nb = nanobind;

// --- The interpreter ---------------------------------------------------------

/// Whether the running interpreter is `version` (a `PY_VERSION_HEX` value)
/// or later: known at compile time in a version-specific build, read from
/// the interpreter (`Py_Version`) in the stable-ABI build.
inline bool runs_at_least(unsigned long version) noexcept {
#if defined(Py_LIMITED_API)
    return Py_Version >= version;
#else
    return PY_VERSION_HEX >= version;
#endif
}

// --- Calls ---------------------------------------------------------------------

/// `PyObject_CallOneArg`: `callable(arg)`, a new reference or null with the
/// error set.
inline PyObject *call_one_arg(PyObject *callable, PyObject *arg) noexcept {
#if defined(Py_LIMITED_API)
    PyObject *args[] = {nullptr, arg};
    return PyObject_Vectorcall(callable, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
#else
    return PyObject_CallOneArg(callable, arg);
#endif
}

/// `PyObject_CallMethodNoArgs`: `obj.name()`, called as Python calls
/// methods (no bound method made).
inline PyObject *call_method_no_args(PyObject *obj, PyObject *name) noexcept {
#if defined(Py_LIMITED_API)
    return PyObject_VectorcallMethod(name, &obj, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
#else
    return PyObject_CallMethodNoArgs(obj, name);
#endif
}

/// `PyObject_CallMethodOneArg`: `obj.name(arg)`.
inline PyObject *call_method_one_arg(PyObject *obj, PyObject *name, PyObject *arg) noexcept {
#if defined(Py_LIMITED_API)
    PyObject *args[] = {obj, arg};
    return PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
#else
    return PyObject_CallMethodOneArg(obj, name, arg);
#endif
}

/// `Py_XSETREF`: `slot` takes `value` (a reference it owns), and the
/// reference it held before, if any, is dropped.
inline void replace_ref(PyObject *&slot, PyObject *value) noexcept {
    PyObject *old = slot;
    slot = value;
    Py_XDECREF(old);
}

// --- Tuples, lists, dictionaries, floats, bytes ------------------------------

/// `PyTuple_GET_SIZE`
inline Py_ssize_t tuple_size(PyObject *tuple) noexcept {
#if defined(Py_LIMITED_API)
    return PyTuple_Size(tuple);
#else
    return PyTuple_GET_SIZE(tuple);
#endif
}

/// `PyTuple_GET_ITEM`: the item at `index` (in range), borrowed.
inline PyObject *tuple_item(PyObject *tuple, Py_ssize_t index) noexcept {
#if defined(Py_LIMITED_API)
    return PyTuple_GetItem(tuple, index);
#else
    return PyTuple_GET_ITEM(tuple, index);
#endif
}

/// `PyTuple_SET_ITEM`: fills the slot `index` (in range) of a new tuple
/// with `item`, whose reference the tuple takes.
inline void tuple_fill(PyObject *tuple, Py_ssize_t index, PyObject *item) noexcept {
#if defined(Py_LIMITED_API)
    (void) PyTuple_SetItem(tuple, index, item);
#else
    PyTuple_SET_ITEM(tuple, index, item);
#endif
}

/// `PyList_GET_SIZE`
inline Py_ssize_t list_size(PyObject *list) noexcept {
#if defined(Py_LIMITED_API)
    return PyList_Size(list);
#else
    return PyList_GET_SIZE(list);
#endif
}

/// `PyList_GET_ITEM`: the item at `index` (in range), borrowed.
inline PyObject *list_item(PyObject *list, Py_ssize_t index) noexcept {
#if defined(Py_LIMITED_API)
    return PyList_GetItem(list, index);
#else
    return PyList_GET_ITEM(list, index);
#endif
}

/// `PyDict_GET_SIZE`
inline Py_ssize_t dict_size(PyObject *dict) noexcept {
#if defined(Py_LIMITED_API)
    return PyDict_Size(dict);
#else
    return PyDict_GET_SIZE(dict);
#endif
}

/// `PyFloat_AS_DOUBLE`: the value of a float (an exact one, or a subclass).
inline double float_value(PyObject *number) noexcept {
#if defined(Py_LIMITED_API)
    return PyFloat_AsDouble(number);
#else
    return PyFloat_AS_DOUBLE(number);
#endif
}

/// `PyLong_FromUnicodeObject(text, 10)`: `int(text)` for an exact str, a
/// new reference or null with the error set (the same ValueError).
inline PyObject *int_from_text(PyObject *text) noexcept {
#if defined(Py_LIMITED_API)
    return PyNumber_Long(text);  // which, for a str, calls the same
#else
    return PyLong_FromUnicodeObject(text, 10);
#endif
}

/// `PyBytes_AS_STRING` and `PyBytes_GET_SIZE`: the bytes of a bytes object,
/// in place (followed by a NUL, as every bytes object is).
inline std::string_view bytes_view(PyObject *bytes) noexcept {
#if defined(Py_LIMITED_API)
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) {
        PyErr_Clear();
        return {};
    }
    return {data, static_cast<std::size_t>(size)};
#else
    return {PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
#endif
}

// --- Strings -------------------------------------------------------------------

/// `PyUnicode_GET_LENGTH`: the number of characters of a str.
inline Py_ssize_t str_length(PyObject *text) noexcept {
#if defined(Py_LIMITED_API)
    return PyUnicode_GetLength(text);
#else
    return PyUnicode_GET_LENGTH(text);
#endif
}

/// Whether two exact str hold the same characters (`a == b`, which cannot
/// fail for them). The fast form compares lengths, widths, then memory.
inline bool same_text(PyObject *a, PyObject *b) noexcept {
#if defined(Py_LIMITED_API)
    int result = PyUnicode_Compare(a, b);
    if (result == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return result == 0;
#else
#if PY_VERSION_HEX < 0x030C0000
    // A string made by a deprecated API may not be in canonical form.
    if (!PyUnicode_IS_READY(a) || !PyUnicode_IS_READY(b))
        return PyUnicode_Compare(a, b) == 0;
#endif
    // Texts of another length or width differ; only same-shaped ones need
    // their code points compared.
    if (PyUnicode_GET_LENGTH(a) != PyUnicode_GET_LENGTH(b) ||
        PyUnicode_KIND(a) != PyUnicode_KIND(b))
        return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       (std::size_t) PyUnicode_GET_LENGTH(a) * PyUnicode_KIND(a)) == 0;
#endif
}

/// The characters of a str, one at a time (`PyUnicode_READ`): `text[i]` is
/// the code point at `i`. The stable-ABI build reads a copy of them.
class Characters {
public:
    /// `text` must be a str; it must outlive the view.
    explicit Characters(PyObject *text) {
#if defined(Py_LIMITED_API)
        copy_ = PyUnicode_AsUCS4Copy(text);
        if (!copy_)
            throw nb::python_error();
        size_ = PyUnicode_GetLength(text);
#else
        size_ = PyUnicode_GET_LENGTH(text);
        kind_ = PyUnicode_KIND(text);
        data_ = PyUnicode_DATA(text);
#endif
    }
    Characters(const Characters &) = delete;
    Characters &operator=(const Characters &) = delete;
    ~Characters() {
#if defined(Py_LIMITED_API)
        PyMem_Free(copy_);
#endif
    }

    Py_ssize_t size() const noexcept { return size_; }
    Py_UCS4 operator[](Py_ssize_t index) const noexcept {
#if defined(Py_LIMITED_API)
        return copy_[index];
#else
        return PyUnicode_READ(kind_, data_, index);
#endif
    }

private:
    Py_ssize_t size_;
#if defined(Py_LIMITED_API)
    Py_UCS4 *copy_;
#else
    int kind_;
    const void *data_;
#endif
};

/// Calls `f(begin, end)` with the characters of the str `text` as an array
/// of `Py_UCS1`, `Py_UCS2` or `Py_UCS4`, at the width the str stores them
/// (`PyUnicode_KIND` and `PyUnicode_DATA`); the stable-ABI build passes a
/// copy as `Py_UCS4`. Returns what `f` returns.
template <typename F> decltype(auto) with_characters(PyObject *text, F &&f) {
#if defined(Py_LIMITED_API)
    Py_UCS4 *copy = PyUnicode_AsUCS4Copy(text);
    if (!copy)
        throw nb::python_error();
    struct Free {
        Py_UCS4 *copy;
        ~Free() { PyMem_Free(copy); }
    } owner{copy};
    const Py_UCS4 *begin = copy;
    return f(begin, begin + PyUnicode_GetLength(text));
#else
    Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: {
        const Py_UCS1 *begin = PyUnicode_1BYTE_DATA(text);
        return f(begin, begin + size);
    }
    case PyUnicode_2BYTE_KIND: {
        const Py_UCS2 *begin = PyUnicode_2BYTE_DATA(text);
        return f(begin, begin + size);
    }
    default: {
        const Py_UCS4 *begin = PyUnicode_4BYTE_DATA(text);
        return f(begin, begin + size);
    }
    }
#endif
}

/// A new str of the ASCII characters `text[0:size]` (`PyUnicode_New` for
/// ASCII, filled in place); null with the error set.
inline PyObject *str_from_ascii(const char *text, Py_ssize_t size) noexcept {
#if defined(Py_LIMITED_API)
    return PyUnicode_DecodeLatin1(text, size, nullptr);
#else
    PyObject *made = PyUnicode_New(size, 127);
    if (made)
        std::memcpy(PyUnicode_DATA(made), text, static_cast<std::size_t>(size));
    return made;
#endif
}

#if defined(Py_LIMITED_API)
namespace detail {
/// A str of UTF-32 code points, decoded with "surrogatepass".
PyObject *decode_ucs4(const Py_UCS4 *characters, Py_ssize_t size) noexcept;
} // namespace detail
#endif

/// `PyUnicode_FromKindAndData` from an array of `Py_UCS4` code points, lone
/// surrogates included; null with the error set.
inline PyObject *str_from_ucs4(const Py_UCS4 *characters, Py_ssize_t size) noexcept {
#if defined(Py_LIMITED_API)
    return detail::decode_ucs4(characters, size);
#else
    return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, characters, size);
#endif
}

/// `PyUnicode_FromKindAndData` from code points of width `Char` (`Py_UCS1`,
/// `Py_UCS2` or `Py_UCS4`); null with the error set.
template <typename Char>
PyObject *str_from_characters(const Char *characters, Py_ssize_t size) noexcept {
    static_assert(sizeof(Char) == 1 || sizeof(Char) == 2 || sizeof(Char) == 4);
#if defined(Py_LIMITED_API)
    if constexpr (sizeof(Char) == 1) {
        return PyUnicode_DecodeLatin1(reinterpret_cast<const char *>(characters), size, nullptr);
    } else if constexpr (sizeof(Char) == 2) {
        Py_UCS4 *wide = static_cast<Py_UCS4 *>(PyMem_Malloc(sizeof(Py_UCS4) * (size_t) (size + 1)));
        if (!wide)
            return PyErr_NoMemory();
        for (Py_ssize_t i = 0; i < size; ++i)
            wide[i] = characters[i];
        PyObject *made = str_from_ucs4(wide, size);
        PyMem_Free(wide);
        return made;
    } else {
        return str_from_ucs4(reinterpret_cast<const Py_UCS4 *>(characters), size);
    }
#else
    constexpr int kind = sizeof(Char) == 1   ? PyUnicode_1BYTE_KIND
                         : sizeof(Char) == 2 ? PyUnicode_2BYTE_KIND
                                             : PyUnicode_4BYTE_KIND;
    return PyUnicode_FromKindAndData(kind, characters, size);
#endif
}

#if defined(Py_LIMITED_API)
namespace detail {
/// `str.isalnum()` of the one-character str `c`.
int ask_is_alnum(Py_UCS4 c) noexcept;
} // namespace detail
#endif

/// `Py_UNICODE_ISALNUM`: whether `c` is a letter or a digit of any script,
/// as `str.isalnum()` says for it. -1 with the error set on failure (only
/// the stable-ABI build asks Python, for characters beyond ASCII).
inline int is_alnum(Py_UCS4 c) noexcept {
#if defined(Py_LIMITED_API)
    if (c < 0x80)
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    return detail::ask_is_alnum(c);
#else
    return Py_UNICODE_ISALNUM(c) ? 1 : 0;
#endif
}

// --- Types ---------------------------------------------------------------------

/// `type->tp_name`, as the interpreter's messages name a type: "int",
/// "collections.deque", a class's `__name__`.
const char *type_name(PyTypeObject *type) noexcept;

/// `type_name(Py_TYPE(object))`
inline const char *type_name_of(PyObject *object) noexcept { return type_name(Py_TYPE(object)); }

/// `PyType_GetName`: the type's `__name__`, a new reference or null with the
/// error set.
inline PyObject *type_short_name(PyTypeObject *type) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    return PyType_GetName(type);
#else
    return PyObject_GetAttrString(reinterpret_cast<PyObject *>(type), "__name__");
#endif
}

/// The dictionary of `type` itself (`tp_dict`, not the read-only proxy that
/// `__dict__` gives), borrowed; null for a static type in the stable-ABI
/// build, which has no way to it (the modules only ask for their own
/// classes, which are heap types).
PyObject *type_dict(PyTypeObject *type) noexcept;

/// `type->tp_as_async->am_await`, null when the type has none.
inline unaryfunc await_slot(PyTypeObject *type) noexcept {
#if defined(Py_LIMITED_API)
    return reinterpret_cast<unaryfunc>(PyType_GetSlot(type, Py_am_await));
#else
    PyAsyncMethods *methods = type->tp_as_async;
    return methods ? methods->am_await : nullptr;
#endif
}

/// `type->tp_as_async->am_anext`, null when the type has none.
inline unaryfunc anext_slot(PyTypeObject *type) noexcept {
#if defined(Py_LIMITED_API)
    return reinterpret_cast<unaryfunc>(PyType_GetSlot(type, Py_am_anext));
#else
    PyAsyncMethods *methods = type->tp_as_async;
    return methods ? methods->am_anext : nullptr;
#endif
}

/// `type->tp_alloc(type, 0)`: a new, zeroed instance, or null with the
/// error set.
inline PyObject *type_alloc(PyTypeObject *type) noexcept {
#if defined(Py_LIMITED_API)
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return alloc(type, 0);
#else
    return type->tp_alloc(type, 0);
#endif
}

/// `type->tp_free(self)`: the memory of an instance, freed.
inline void type_free(PyTypeObject *type, PyObject *self) noexcept {
#if defined(Py_LIMITED_API)
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
#else
    type->tp_free(self);
#endif
}

#if defined(Py_LIMITED_API)
namespace detail {
/// `types.CoroutineType` and `types.GeneratorType`, looked up once.
PyTypeObject *coroutine_type() noexcept;
PyTypeObject *generator_type() noexcept;
} // namespace detail
#endif

/// `PyCoro_CheckExact`: a native coroutine (of an `async def`).
inline bool is_coroutine_exact(PyObject *object) noexcept {
#if defined(Py_LIMITED_API)
    return Py_TYPE(object) == detail::coroutine_type();
#else
    return PyCoro_CheckExact(object);
#endif
}

/// `PyGen_CheckExact`: a generator (of a `def` with `yield`).
inline bool is_generator_exact(PyObject *object) noexcept {
#if defined(Py_LIMITED_API)
    return Py_TYPE(object) == detail::generator_type();
#else
    return PyGen_CheckExact(object);
#endif
}

} // namespace ombrel::common
