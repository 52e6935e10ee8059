#include "logging.h"

namespace ombrel::bridge {

nb::object Logger::get() const {
    return nb::module_::import_("logging").attr("getLogger")(name_);
}

/// (message, *args)
static nb::object call_arguments(const char *message, nb::tuple args) {
    nb::list all;
    all.append(nb::str(message));
    for (nb::handle arg : args)
        all.append(arg);
    return nb::tuple(all);
}

void Logger::emit(const char *level, const char *message, nb::tuple args) const {
    nb::object method = get().attr(level);
    nb::object result = nb::steal(
        PyObject_Call(method.ptr(), call_arguments(message, args).ptr(), nullptr));
    if (!result.is_valid())
        throw nb::python_error();
}

void Logger::emit_exception(const char *message, nb::tuple args,
                            nb::handle exception) const {
    nb::object method = get().attr("exception");
    nb::dict kwargs;
    kwargs["exc_info"] = exception;
    nb::object result = nb::steal(PyObject_Call(
        method.ptr(), call_arguments(message, args).ptr(), kwargs.ptr()));
    if (!result.is_valid())
        throw nb::python_error();
}

} // namespace ombrel::bridge
