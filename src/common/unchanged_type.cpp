#include "common/unchanged_type.h"

#include "common/interned.h"

namespace ombrel::common {

void UnchangedType::remember(PyTypeObject *type) {
    type_ = type;
#if PY_VERSION_HEX >= 0x030C0000
    version_ = PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
#else
    // A look-up through the method cache gives the type its tag.
    (void) _PyType_Lookup(type, intern("__init__").ptr());
    version_ = PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

} // namespace ombrel::common
