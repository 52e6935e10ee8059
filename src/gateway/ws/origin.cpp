#include "gateway/ws/origin.h"

#include <optional>

namespace ombrel::gateway {

nb::object allowed_origin_set(nb::handle allowed_origins) {
    if (allowed_origins.is_none())
        return nb::none();
    if (PyUnicode_Check(allowed_origins.ptr()))
        nb::raise_type_error("allowed_origins must be an iterable of str, not str");
    nb::object origins = nb::steal(PyFrozenSet_New(allowed_origins.ptr()));
    if (!origins.is_valid())
        throw nb::python_error();
    for (nb::handle origin : origins)
        if (!PyUnicode_CheckExact(origin.ptr()))
            nb::raise_type_error("allowed_origins items must be str, not %s",
                                 common::python_type_name(origin).c_str());
    return origins;
}

namespace {

/// Host (lower case, no brackets) and port of a URL's network location;
/// nothing when it cannot be parsed.
struct Location {
    nb::object host;   // str, or None when there is none
    nb::object port;   // int, or None when not given
    nb::object scheme; // str
};

std::optional<Location> locate(nb::handle url) {
    nb::object urlsplit = nb::module_::import_("urllib.parse").attr("urlsplit");
    try {
        nb::object parts = urlsplit(url);
        return Location{parts.attr("hostname"), parts.attr("port"), parts.attr("scheme")};
    } catch (nb::python_error &e) {
        // A malformed bracketed host or a port that is not a number.
        if (!e.matches(PyExc_ValueError))
            throw;
    }
    return std::nullopt;
}

/// `ipaddress.ip_address(host)`, or None when the host is a name.
nb::object ip_literal(nb::handle host) {
    try {
        return nb::module_::import_("ipaddress").attr("ip_address")(host);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
    }
    return nb::none();
}

bool is_loopback_host(nb::handle host) {
    nb::str name = nb::borrow<nb::str>(host);
    if (name.equal(nb::str("localhost")) ||
        common::truth(name.attr("endswith")(".localhost")))
        return true;
    nb::object address = ip_literal(host);
    if (address.is_none())
        return false;
    if (common::truth(address.attr("is_loopback")))
        return true;
    // ::ffff:127.0.0.1 is 127.0.0.1.
    nb::object mapped = nb::getattr(address, "ipv4_mapped", nb::none());
    return !mapped.is_none() && common::truth(mapped.attr("is_loopback"));
}

/// The port a URL of this scheme uses when it names none.
nb::object default_port(nb::handle scheme) {
    nb::str name = nb::borrow<nb::str>(scheme);
    if (name.equal(nb::str("http")) || name.equal(nb::str("ws")))
        return nb::int_(80);
    if (name.equal(nb::str("https")) || name.equal(nb::str("wss")))
        return nb::int_(443);
    return nb::none();
}

nb::object effective_port(const Location &location, nb::handle scheme) {
    return location.port.is_none() ? default_port(scheme) : location.port;
}

/// The origin names the very IP address and port the client connected to,
/// as the request's Host header gives them (a page served by this server
/// over the network). Host names are not trusted here: a DNS name can be
/// made to point at this machine by anyone.
bool same_ip_host(nb::handle ws, const Location &origin) {
    nb::object address = ip_literal(origin.host);
    if (address.is_none())
        return false;
    nb::object host_header = ws.attr("headers").attr("get")("host");
    if (host_header.is_none())
        return false;
    std::optional<Location> host = locate(append_text("//", host_header));
    if (!host || host->host.is_none())
        return false;
    nb::object host_address = ip_literal(host->host);
    if (host_address.is_none() || !address.equal(host_address))
        return false;
    nb::object origin_port = effective_port(origin, origin.scheme);
    nb::object host_port = effective_port(*host, ws.attr("url").attr("scheme"));
    return !origin_port.is_none() && origin_port.equal(host_port);
}

} // namespace

bool origin_allowed(nb::handle ws, nb::handle allowed, nb::object &origin) {
    static const Interned headers("headers"), get_name("get"), origin_key("origin");
    origin = call_method(common::attr(ws, headers), get_name, origin_key);
    if (origin.is_none())
        return true;
    if (origin.equal(nb::str("null")))
        return false;
    if (!allowed.is_none()) {
        int listed = PySet_Contains(allowed.ptr(), origin.ptr());
        if (listed < 0)
            throw nb::python_error();
        if (listed)
            return true;
    }
    std::optional<Location> location = locate(origin);
    if (!location || location->host.is_none() || nb::len(location->host) == 0)
        return false;
    return is_loopback_host(location->host) || same_ip_host(ws, *location);
}

} // namespace ombrel::gateway
