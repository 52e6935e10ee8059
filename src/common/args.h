// Checking arguments on entry: built-in containers and text exactly, numbers
// from any real number, booleans by truth value.
#pragma once

#include <nanobind/nanobind.h>

namespace ombrel::common {

namespace nb = nanobind;

/// The argument itself when it is exactly a `str` (no subclass); else
/// TypeError "<name> must be str, not <type>".
nb::str expect_str(nb::handle value, const char *name);
/// The same for exactly a `list`.
nb::list expect_list(nb::handle value, const char *name);
/// The same for exactly a `dict`.
nb::dict expect_dict(nb::handle value, const char *name);
/// `int(value)` for any real number (bool and Decimal included); TypeError
/// otherwise.
nb::int_ expect_int(nb::handle value, const char *name);
/// `float(value)` for any real number; TypeError otherwise.
nb::float_ expect_float(nb::handle value, const char *name);
/// A duration given in seconds: any real number that is positive and
/// finite, as a double; TypeError for anything but a number, ValueError
/// "<name> must be a positive finite number of seconds, not <repr>" for
/// zero, negatives, NaN, the infinities and numbers too large for a float.
double expect_seconds(nb::handle value, const char *name);
/// Whether `value` is a real number: `numbers.Real`, or a number without an
/// imaginary part such as `decimal.Decimal`.
bool is_real_number(nb::handle value);

/// `type(value).__name__`
nb::str python_type_name(nb::handle value);

} // namespace ombrel::common
