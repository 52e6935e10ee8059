// What the modules say about an exception in their results and logs.
#pragma once

#include <nanobind/nanobind.h>

namespace ombrel::common {

namespace nb = nanobind;

/// Raises `type` with a message formatted as `PyErr_Format` does, as a
/// `nb::python_error`: code that catches Python errors sees it like any
/// error of the interpreter's (nanobind's `raise_type_error` and friends
/// throw C++ exceptions that are translated only at the binding's edge).
[[noreturn]] void raise_error(PyObject *type, const char *format, ...);

/// Whether an error belongs to the `Exception` family (what `except
/// Exception` catches); cancellation and other `BaseException`s do not.
inline bool is_exception(const nb::python_error &error) {
    return error.matches(PyExc_Exception);
}

/// `type(e).__name__ + ": " + str(e)`, each part replaced by its
/// placeholder (below) when it cannot be had.
nb::str describe_exception(nb::handle exception);

/// `str(e)` of an exception, or "<exception str() failed>" when that raises
/// an `Exception`; a KeyboardInterrupt or SystemExit raised by `__str__`
/// goes on to the caller (it is not the exception's to swallow).
nb::str exception_message(nb::handle exception);

/// `type(e).__name__`, or "<exception type name failed>" when that raises
/// an `Exception` (a metaclass may make it) or is not a str; other errors
/// go on to the caller.
nb::str exception_type_name(nb::handle exception);

} // namespace ombrel::common
