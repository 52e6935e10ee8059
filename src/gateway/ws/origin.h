// Which web pages may open a connection: the handshake's Origin header
// checked against the router's allowed origins and the local machine.
#pragma once

#include "gateway/ws/gateway.h"

namespace ombrel::gateway {

/// `allowed_origins` as the router keeps it: None, or a frozenset of the exact
/// origin texts given. TypeError for a str (an iterable of characters) or an
/// item that is not a str.
nb::object allowed_origin_set(nb::handle allowed_origins);

/// Whether the handshake of `ws` may be accepted: no Origin header (not a
/// browser); an origin among `allowed` (None or a set); an origin whose host
/// is a loopback host; or an origin with the same IP-literal host and port as
/// the request's Host header. The origin "null" is always refused.
/// `origin` receives the header's value.
bool origin_allowed(nb::handle ws, nb::handle allowed, nb::object &origin);

} // namespace ombrel::gateway
