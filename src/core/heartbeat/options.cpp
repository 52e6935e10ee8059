#include "core/heartbeat/options.h"

#include "common/common.h"

#include <cmath>

namespace ombrel::heartbeat {

namespace {

using common::Interned;

const Interned error_backoff("error_backoff"), jitter_seconds("jitter_seconds"),
    timezone("timezone"), zoneinfo("zoneinfo"), ZoneInfo("ZoneInfo");

/// `getattr(config, name, None)`
nb::object setting(nb::handle config, const Interned &name) {
    return common::attr_or(config, name, nb::none());
}

std::optional<double> jitter_of(nb::handle value) {
    if (value.is_none())
        return std::nullopt;
    if (!common::is_real_number(value) || PyBool_Check(value.ptr()))
        common::raise_error(PyExc_TypeError, "jitter_seconds must be a number, not %s",
                            common::type_name_of(value.ptr()));
    double seconds = PyFloat_AsDouble(value.ptr());
    if (seconds == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError))
            throw nb::python_error();
        PyErr_Clear();
        seconds = HUGE_VAL;
    }
    if (!(seconds >= 0) || std::isinf(seconds))
        common::raise_error(PyExc_ValueError,
                            "jitter_seconds must be a finite number of seconds, 0 or more, not %R",
                            value.ptr());
    return seconds;
}

nb::object zone_of(nb::handle value) {
    if (value.is_none() || (PyUnicode_Check(value.ptr()) && common::str_length(value.ptr()) == 0))
        return {};
    if (!PyUnicode_Check(value.ptr()))
        common::raise_error(PyExc_TypeError, "timezone must be str, not %s",
                            common::type_name_of(value.ptr()));
    nb::object zone_class = common::module_attr(zoneinfo, ZoneInfo);
    PyObject *zone = common::call_one_arg(zone_class.ptr(), value.ptr());
    if (zone)
        return nb::steal(zone);
    // ZoneInfoNotFoundError, and ValueError for keys that are not names.
    if (!PyErr_ExceptionMatches(PyExc_KeyError) && !PyErr_ExceptionMatches(PyExc_ValueError))
        throw nb::python_error();
    PyErr_Clear();
    common::raise_error(PyExc_ValueError, "timezone must be an IANA time zone name, not %R",
                        value.ptr());
}

} // namespace

bool sets_options(nb::handle config) {
    for (const Interned *name : {&error_backoff, &jitter_seconds, &timezone})
        if (!setting(config, *name).is_none())
            return true;
    return false;
}

Options read_options(nb::handle config) {
    Options options;
    nb::object backoff = setting(config, error_backoff);
    if (!backoff.is_none()) {
        if (PyBool_Check(backoff.ptr()))
            common::raise_error(PyExc_TypeError, "error_backoff must be a number, not bool");
        options.error_backoff = common::expect_seconds(backoff, "error_backoff");
    }
    options.jitter = jitter_of(setting(config, jitter_seconds));
    options.timezone = zone_of(setting(config, timezone));
    return options;
}

} // namespace ombrel::heartbeat
