// Which backend answers: the registry of the three, and the answers they
// share.
#include "pc/vantor/backends/backend.h"

#include "pc/vantor/py.h"
#include "pc/vantor/results.h"
#include "pc/vantor/backends/linux/linux.h"
#include "pc/vantor/backends/macos/macos.h"
#include "pc/vantor/backends/windows/windows.h"

namespace ombrel::vantor {

const Backend &backend_for_system() {
    nb::object system = module_attr(py::names::SYSTEM);
    if (py::equal(system, "Windows"))
        return windows_backend;
    if (py::equal(system, "Darwin"))
        return macos_backend;
    return linux_backend;
}

const Backend &backend_for_entry(nb::handle name) {
    if (py::equal(name, "macos"))
        return macos_backend;
    if (py::equal(name, "linux_atspi"))
        return linux_backend;
    return windows_backend;
}

Coro<> close_backends(nb::object self) {
    static const Backend *const backends[] = {&windows_backend, &macos_backend, &linux_backend};
    for (const Backend *backend : backends)
        if (backend->close)
            co_await backend->close(self);
    co_return nb::none();
}

nb::object entry_backend(nb::handle elem_info) {
    return py::get(elem_info, "backend", py::names::pywinauto);
}

Coro<> type_not_supported(nb::object, nb::object ref, nb::object, nb::object, nb::object,
                          nb::object) {
    co_return failure("Type not supported on this backend yet", ref);
}

Coro<> select_not_supported(nb::object, nb::object ref, nb::object elem_info, nb::object) {
    nb::object name = entry_backend(elem_info);
    co_return failure(
        py::checked(PyUnicode_FromFormat("Select not yet supported on %S", name.ptr())), ref);
}

nb::object answer_error(const nb::python_error &error, const OnError &on_error, nb::handle ref) {
    if (on_error.none)
        return nb::none();
    nb::object message;
    // TimeoutError also names asyncio's, a class of its own before 3.11.
    for (const ErrorText &text : on_error.texts)
        if (text.type && (error.matches(*text.type) || (*text.type == PyExc_TimeoutError &&
                                                         error.matches(bridge::timeout_error())))) {
            message = nb::str(text.text);
            break;
        }
    if (!message.is_valid()) {
        message = common::exception_message(error.value());
        if (on_error.log)
            logger.error(on_error.log, message);
    }
    return ref.is_valid() ? failure(message, ref) : failure(message);
}

} // namespace ombrel::vantor
