// Interned Python strings for the names used on hot paths (attribute and
// method names, dictionary keys), made once and kept for the life of the
// process, as the interpreter keeps its own identifiers.
#pragma once

#include <nanobind/nanobind.h>

namespace ombrel::common {

namespace nb = nanobind;

/// The interned string `text`, never freed.
nb::handle intern(const char *text);

/// A name made into an interned string at first use. Declare as
/// `inline constinit Interned name("name");` and pass where a handle goes.
class Interned {
public:
    explicit constexpr Interned(const char *text) : text_(text) {}
    nb::handle get() const {
        if (!object_)
            object_ = intern(text_).ptr();
        return object_;
    }
    operator nb::handle() const { return get(); }
    PyObject *ptr() const { return get().ptr(); }
    const char *c_str() const { return text_; }

private:
    const char *text_;
    mutable PyObject *object_ = nullptr;
};

} // namespace ombrel::common

namespace nanobind::detail {

/// An interned name goes to Python as its string, wherever a value is
/// cast (call arguments, dictionary keys and values).
template <> struct type_caster<ombrel::common::Interned> {
    NB_TYPE_CASTER(ombrel::common::Interned, const_name("str"))
    bool from_python(handle, uint8_t, cleanup_list *) noexcept { return false; }
    static handle from_cpp(const ombrel::common::Interned &name, rv_policy,
                           cleanup_list *) noexcept {
        try {
            return name.get().inc_ref();
        } catch (python_error &e) {
            e.restore();
            return handle();
        }
    }
};

} // namespace nanobind::detail
