#include "common/capi.h"

#include "common/interned.h"

#include <cstring>

namespace ombrel::common {

#if defined(Py_LIMITED_API)
PyObject *detail::decode_ucs4(const Py_UCS4 *characters, Py_ssize_t size) noexcept {
    // UTF-32 in the machine's byte order is the code points as they are;
    // "surrogatepass" keeps lone surrogates, and with the order given a
    // leading U+FEFF stays a character.
    int order = 1;
    if (*reinterpret_cast<const unsigned char *>(&order) == 1)
        order = -1;  // little-endian
    return PyUnicode_DecodeUTF32(reinterpret_cast<const char *>(characters),
                                 size * (Py_ssize_t) sizeof(Py_UCS4), "surrogatepass", &order);
}

int detail::ask_is_alnum(Py_UCS4 c) noexcept {
    static const Interned isalnum_name("isalnum");
    PyObject *character = PyUnicode_FromOrdinal((int) c);
    if (!character)
        return -1;
    PyObject *answer = call_method_no_args(character, isalnum_name.ptr());
    Py_DECREF(character);
    if (!answer)
        return -1;
    int result = PyObject_IsTrue(answer);
    Py_DECREF(answer);
    return result;
}

namespace {

/// tp_name where every CPython keeps it: the type object starts with the
/// head of a variable-size object, then tp_name. The limited API keeps the
/// type object opaque and has no function that gives tp_name (the type's
/// `__name__` lacks the module that tp_name carries for the types of
/// extension modules, "collections.deque"), so the field is read there,
/// once checked against two types whose names are known.
const char *name_field(PyTypeObject *type) noexcept {
    const char *const *field = reinterpret_cast<const char *const *>(
        reinterpret_cast<const char *>(type) + sizeof(PyVarObject));
    return *field;
}

bool name_field_found() noexcept {
    static const bool found = [] {
        const char *type_type = name_field(&PyType_Type), *long_type = name_field(&PyLong_Type);
        return type_type && long_type && std::strcmp(type_type, "type") == 0 &&
               std::strcmp(long_type, "int") == 0;
    }();
    return found;
}

/// The type's `__name__`, kept for the life of the process (an interpreter
/// whose type objects were laid out otherwise).
const char *kept_short_name(PyTypeObject *type) noexcept {
    PyObject *name = type_short_name(type);
    if (!name) {
        PyErr_Clear();
        return "?";
    }
    PyUnicode_InternInPlace(&name);
    const char *text = PyUnicode_AsUTF8AndSize(name, nullptr);  // the reference is kept
    if (!text) {
        PyErr_Clear();
        return "?";
    }
    return text;
}

PyTypeObject *types_attribute(const char *name) noexcept {
    PyObject *types = PyImport_ImportModule("types");
    PyObject *type = types ? PyObject_GetAttrString(types, name) : nullptr;
    Py_XDECREF(types);
    if (!type || !PyType_Check(type)) {
        PyErr_Clear();
        Py_XDECREF(type);
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject *>(type);  // kept for the life of the process
}

} // namespace

// Not a guarded static: the import may let another thread run, which must
// not then wait on the guard while it holds the GIL.
PyTypeObject *detail::coroutine_type() noexcept {
    static PyTypeObject *type = nullptr;
    if (!type)
        type = types_attribute("CoroutineType");
    return type;
}

PyTypeObject *detail::generator_type() noexcept {
    static PyTypeObject *type = nullptr;
    if (!type)
        type = types_attribute("GeneratorType");
    return type;
}
#endif

const char *type_name(PyTypeObject *type) noexcept {
#if defined(Py_LIMITED_API)
    return name_field_found() ? name_field(type) : kept_short_name(type);
#else
    return type->tp_name;
#endif
}

PyObject *type_dict(PyTypeObject *type) noexcept {
#if defined(Py_LIMITED_API)
    // A heap type keeps its dictionary where `type` says its instances keep
    // theirs, which the generic getter reaches.
    if (!(PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE))
        return nullptr;
    PyObject *dict = PyObject_GenericGetDict(reinterpret_cast<PyObject *>(type), nullptr);
    if (!dict) {
        PyErr_Clear();
        return nullptr;
    }
    Py_DECREF(dict);  // the type holds it
    return dict;
#else
    return type->tp_dict;
#endif
}

} // namespace ombrel::common
