// A class whose methods a hot path may run directly, as long as nothing has
// been assigned to the class since it was remembered: the interpreter's own
// rule for caching method look-ups (a type's version tag is dropped whenever
// its attributes, or those of a base, change, and a new one is never reused).
// The stable-ABI build cannot read version tags: there the class's
// dictionary is compared with a copy made when it was remembered (the same
// names bound to the same objects), which is what the methods found on the
// class itself depend on.
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
#if defined(Py_LIMITED_API)
        return type == type_ && namespace_unchanged();
#else
        return type == type_ && version_ != 0 && type->tp_version_tag == version_;
#endif
    }

private:
    PyTypeObject *type_ = nullptr;
#if defined(Py_LIMITED_API)
    bool namespace_unchanged() const noexcept;
    PyObject *namespace_ = nullptr;  ///< a copy of the class's dictionary
#else
    unsigned int version_ = 0;
#endif
};

} // namespace ombrel::common
