// What the modules say about an exception in their results and logs.
#pragma once

#include <nanobind/nanobind.h>

namespace ombrel::common {

namespace nb = nanobind;

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
