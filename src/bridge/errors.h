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

/// Raises StopIteration carrying `value` (a tuple or an exception stays the
/// value itself, as in `return value` from a coroutine).
void set_stop_iteration(PyObject *value) noexcept;

} // namespace ombrel::bridge
