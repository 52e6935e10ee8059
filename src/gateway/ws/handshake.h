// What a router may require of a handshake beyond its origin: a token, for
// routers made with `token=...`.
#pragma once

#include "gateway/ws/gateway.h"

namespace ombrel::gateway {

/// The subprotocol entry that carries a token: "token.<token>".
inline constexpr char TOKEN_PROTOCOL_PREFIX[] = "token.";

/// Whether the handshake of `ws` carries `token` (a str): as its "token"
/// query parameter, or as a Sec-WebSocket-Protocol entry "token.<token>".
/// Compared in constant time; the token is never logged.
bool carries_token(nb::handle ws, nb::handle token);

/// The subprotocol to accept: the first one the client offered that does
/// not carry a token (browsers refuse a handshake whose answer names none of
/// the protocols they offered), or None when it offered none.
nb::object chosen_subprotocol(nb::handle ws);

} // namespace ombrel::gateway
