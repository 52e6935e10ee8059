#include "common/args.h"

#include "common/exceptions.h"

#include <cmath>

namespace ombrel::common {

nb::str python_type_name(nb::handle value) {
    return nb::borrow<nb::str>(nb::getattr(value.type(), "__name__"));
}

[[noreturn]] static void wrong_type(nb::handle value, const char *name,
                                    const char *expected) {
    nb::str given = python_type_name(value);
    nb::raise_type_error("%s must be %s, not %s", name, expected, given.c_str());
}

nb::str expect_str(nb::handle value, const char *name) {
    if (!PyUnicode_CheckExact(value.ptr()))
        wrong_type(value, name, "str");
    return nb::borrow<nb::str>(value);
}

nb::list expect_list(nb::handle value, const char *name) {
    if (!PyList_CheckExact(value.ptr()))
        wrong_type(value, name, "list");
    return nb::borrow<nb::list>(value);
}

nb::dict expect_dict(nb::handle value, const char *name) {
    if (!PyDict_CheckExact(value.ptr()))
        wrong_type(value, name, "dict");
    return nb::borrow<nb::dict>(value);
}

bool is_real_number(nb::handle value) {
    if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()))
        return true;
    // numbers.Real, and numbers without an imaginary part that do not
    // register as Real (decimal.Decimal).
    nb::module_ numbers = nb::module_::import_("numbers");
    if (nb::isinstance(value, numbers.attr("Real")))
        return true;
    return nb::isinstance(value, numbers.attr("Number")) &&
           !nb::isinstance(value, numbers.attr("Complex"));
}

nb::int_ expect_int(nb::handle value, const char *name) {
    if (PyLong_CheckExact(value.ptr()))
        return nb::borrow<nb::int_>(value);
    if (!is_real_number(value))
        wrong_type(value, name, "a number");
    PyObject *converted = PyNumber_Long(value.ptr());
    if (!converted)
        throw nb::python_error();
    return nb::steal<nb::int_>(converted);
}

nb::float_ expect_float(nb::handle value, const char *name) {
    if (!is_real_number(value))
        wrong_type(value, name, "a number");
    PyObject *converted = PyNumber_Float(value.ptr());
    if (!converted)
        throw nb::python_error();
    return nb::steal<nb::float_>(converted);
}

double expect_seconds(nb::handle value, const char *name) {
    if (!is_real_number(value))
        wrong_type(value, name, "a number");
    double seconds = PyFloat_AsDouble(value.ptr());
    if (seconds == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError))
            throw nb::python_error();
        PyErr_Clear();  // beyond any float: as unusable as infinity
        seconds = HUGE_VAL;
    }
    if (!(seconds > 0) || std::isinf(seconds))
        raise_error(PyExc_ValueError, "%s must be a positive finite number of seconds, not %R",
                    name, value.ptr());
    return seconds;
}

} // namespace ombrel::common
