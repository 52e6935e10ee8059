#include "gateway/ws/gateway.h"

#include "gateway/ws/delivery.h"

namespace ombrel::gateway {

nb::object server_state() {
    return common::import_from("ombrel.gateway.server", "get_state")();
}

nb::object state_get(nb::handle state, const char *key) {
    return get(state, key, nb::none());
}

nb::str append_text(const char *prefix, nb::handle value) {
    nb::str head(prefix);
    nb::str tail = text_of(value);
    PyObject *joined = PyUnicode_Concat(head.ptr(), tail.ptr());
    if (!joined)
        throw nb::python_error();
    return nb::steal<nb::str>(joined);
}

nb::object first_chars(nb::handle text, Py_ssize_t count) {
    PyObject *slice = PySequence_GetSlice(text.ptr(), 0, count);
    if (!slice)
        throw nb::python_error();
    return nb::steal(slice);
}

nb::object send_json(nb::handle ws, nb::handle event) { return deliver(ws, event); }

nb::dict event(std::initializer_list<std::pair<const char *, nb::handle>> items) {
    nb::dict result;
    for (const auto &[key, value] : items)
        result[key] = value;
    return result;
}

nb::dict error_event(nb::handle message) {
    return event({{"type", nb::str("error")}, {"message", message}});
}

nb::dict error_event(const char *message) { return error_event(nb::str(message)); }

} // namespace ombrel::gateway
