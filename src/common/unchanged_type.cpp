#include "unchanged_type.h"

namespace ombrel::common {

void UnchangedType::remember(PyTypeObject *type) noexcept {
    type_ = type;
#if PY_VERSION_HEX >= 0x030C0000
    version_ = PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
#else
    // A look-up through the method cache gives the type its tag.
    PyObject *name = PyUnicode_InternFromString("__init__");
    if (!name) {
        PyErr_Clear();
        version_ = 0;
        return;
    }
    (void) _PyType_Lookup(type, name);
    Py_DECREF(name);
    version_ = PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

} // namespace ombrel::common
