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
    const char *c_str() const { return text_; }

private:
    const char *text_;
    mutable PyObject *object_ = nullptr;
};

/// `value == text`, with a fast path for an exact `str`.
bool equals(nb::handle value, const Interned &text);

} // namespace ombrel::common
