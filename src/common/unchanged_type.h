// A class whose methods a hot path may run directly, as long as nothing has
// been assigned to the class since it was remembered: the interpreter's own
// rule for caching method look-ups (a type's version tag is dropped whenever
// its attributes, or those of a base, change, and a new one is never reused).
#pragma once

#include <Python.h>

namespace ombrel::common {

class UnchangedType {
public:
    /// Remembers `type` as it is now, once its methods are all defined.
    void remember(PyTypeObject *type);

    /// True when `object` is exactly of the remembered class (no subclass)
    /// and the class has not been modified since.
    bool holds(PyObject *object) const noexcept {
        PyTypeObject *type = Py_TYPE(object);
        return type == type_ && version_ != 0 && type->tp_version_tag == version_;
    }

private:
    PyTypeObject *type_ = nullptr;
    unsigned int version_ = 0;
};

} // namespace ombrel::common
