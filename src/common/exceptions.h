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

/// `type(e).__name__ + ": " + str(e)`, with "<exception str() failed>" in
/// place of the message when `str(e)` raises or returns a non-string.
nb::str describe_exception(nb::handle exception);

/// `str(e)` of an exception, or "<exception str() failed>" when that fails.
nb::str exception_message(nb::handle exception);

} // namespace ombrel::common
