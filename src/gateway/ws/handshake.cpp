#include "gateway/ws/handshake.h"

#include <cstring>

namespace ombrel::gateway {

namespace {

const Interned query_params("query_params"), scope("scope"), subprotocols("subprotocols"),
    token_key("token"), get_name("get"), encode("encode"), startswith("startswith");
constinit common::ImportedName compare_digest("hmac", "compare_digest");

/// The subprotocols the client offered (a list of str, possibly empty).
nb::object offered(nb::handle ws) {
    nb::object protocols = common::get(common::attr(ws, scope), subprotocols, nb::list());
    return protocols.is_none() ? nb::list() : protocols;
}

bool is_token_entry(nb::handle protocol) {
    return PyUnicode_Check(protocol.ptr()) &&
           common::truth(call_method(protocol, startswith, nb::str(TOKEN_PROTOCOL_PREFIX)));
}

/// `hmac.compare_digest` of the UTF-8 texts: its time does not depend on
/// where they differ.
bool same_secret(nb::handle given, nb::handle token) {
    if (!PyUnicode_Check(given.ptr()))
        return false;
    nb::object a = call_method(given, encode, nb::str("utf-8"));
    nb::object b = call_method(token, encode, nb::str("utf-8"));
    return common::truth(compare_digest.get()(a, b));
}

} // namespace

bool carries_token(nb::handle ws, nb::handle token) {
    nb::object given = call_method(common::attr(ws, query_params), get_name, token_key.get());
    // Both ways are tried whatever the first gives, so that the time taken
    // tells nothing either.
    bool matched = !given.is_none() && same_secret(given, token);
    for (nb::handle protocol : offered(ws)) {
        if (!is_token_entry(protocol))
            continue;
        nb::object value = common::checked(PyUnicode_Substring(
            protocol.ptr(), std::strlen(TOKEN_PROTOCOL_PREFIX), PY_SSIZE_T_MAX));
        matched = same_secret(value, token) || matched;
    }
    return matched;
}

nb::object chosen_subprotocol(nb::handle ws) {
    for (nb::handle protocol : offered(ws))
        if (PyUnicode_Check(protocol.ptr()) && !is_token_entry(protocol))
            return nb::borrow(protocol);
    return nb::none();
}

} // namespace ombrel::gateway
