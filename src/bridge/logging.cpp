#include "bridge/logging.h"

#include "common/python.h"

namespace ombrel::bridge {

using detail::state;

nb::object Logger::get() const {
    if (!logger_)
        logger_ = common::import_module("logging").attr("getLogger")(name_).release().ptr();
    return nb::borrow(logger_);
}

bool Logger::enabled(nb::handle logger, int level) {
    nb::object level_object = nb::steal(PyLong_FromLong(level));
    return common::truth(common::call_method(logger, state().names.is_enabled_for, level_object));
}

/// (message, *args)
static nb::tuple call_arguments(const char *message, nb::tuple args) {
    std::size_t count = args.size();
    nb::object all = common::checked(PyTuple_New((Py_ssize_t) count + 1));
    common::tuple_fill(all.ptr(), 0, nb::str(message).release().ptr());
    for (std::size_t i = 0; i < count; ++i)
        common::tuple_fill(all.ptr(), (Py_ssize_t) i + 1, nb::object(args[i]).release().ptr());
    return nb::borrow<nb::tuple>(all);
}

void Logger::emit(nb::handle logger, const common::Interned &method, const char *message,
                  nb::tuple args) {
    nb::object function = common::attr(logger, method);
    common::checked(PyObject_Call(function.ptr(), call_arguments(message, args).ptr(), nullptr));
}

void Logger::emit_exception(nb::handle logger, const char *message, nb::tuple args,
                            nb::handle exception) {
    nb::object function = common::attr(logger, state().names.exception);
    nb::dict kwargs;
    kwargs[state().names.exc_info.get()] = exception;
    common::checked(PyObject_Call(function.ptr(), call_arguments(message, args).ptr(),
                                  kwargs.ptr()));
}

} // namespace ombrel::bridge
