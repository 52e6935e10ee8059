// Moving errors between C++ and Python.
#pragma once

#include <nanobind/nanobind.h>

#include <exception>

namespace ombrel::bridge {

namespace nb = nanobind;

/// Sets the Python error indicator from a C++ exception, the way nanobind
/// translates exceptions at a function boundary: a `python_error` is restored
/// as the same exception object, nanobind's builtin exceptions and the
/// standard ones become their Python counterparts, anything else RuntimeError.
void restore_error(std::exception_ptr error) noexcept;

/// An exception caught by `catch (...)` as the Python exception it stands
/// for: a `python_error` itself, a C++ exception translated as by
/// `restore_error`.
nb::python_error as_python_error(std::exception_ptr error);

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

/// Raises StopIteration carrying `value` (a tuple or an exception stays the
/// value itself, as in `return value` from a coroutine).
void set_stop_iteration(PyObject *value) noexcept;

} // namespace ombrel::bridge
