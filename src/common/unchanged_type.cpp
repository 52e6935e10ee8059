#include "common/unchanged_type.h"

#include "common/capi.h"
#include "common/interned.h"

namespace ombrel::common {

void UnchangedType::remember(PyTypeObject *type) {
    type_ = type;
#if defined(Py_LIMITED_API)
    PyObject *dict = type_dict(type);
    PyObject *copy = dict ? PyDict_Copy(dict) : nullptr;
    if (dict && !copy)
        throw nb::python_error();
    Py_XDECREF(namespace_);
    namespace_ = copy;
#elif PY_VERSION_HEX >= 0x030C0000
    version_ = PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
#else
    // A look-up through the method cache gives the type its tag.
    (void) _PyType_Lookup(type, intern("__init__").ptr());
    version_ = PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

#if defined(Py_LIMITED_API)
bool UnchangedType::namespace_unchanged() const noexcept {
    PyObject *dict = namespace_ ? type_dict(type_) : nullptr;
    if (!dict || PyDict_Size(dict) != PyDict_Size(namespace_))
        return false;
    Py_ssize_t position = 0;
    PyObject *name, *value;
    while (PyDict_Next(namespace_, &position, &name, &value)) {
        PyObject *now = PyDict_GetItemWithError(dict, name);
        if (now != value) {
            if (!now && PyErr_Occurred())
                PyErr_Clear();
            return false;
        }
    }
    return true;
}
#endif

} // namespace ombrel::common
