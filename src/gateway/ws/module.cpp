// ombrel.gateway.ws: the WebSocket gateway between the chat client and the
// host's agents. What Python sees of it; the logic lives beside this file.
#include "gateway/ws/connection_manager.h"
#include "gateway/ws/endpoint.h"
#include "gateway/ws/handlers.h"

namespace nb = nanobind;
namespace gw = ombrel::gateway;
using ombrel::bridge::def_coroutine;
using ombrel::bridge::param;
using ombrel::bridge::returns;

#define WEBSOCKET "fastapi.WebSocket"
#define MESSAGE "dict[str, typing.Any]"

NB_MODULE(ws, m) {
    ombrel::bridge::register_coroutine_type(m);
    m.doc() = "The WebSocket gateway between the browser chat client and the agents: the "
              "\"/ws\" route, its connection registry, chat routing, approvals, "
              "conversations, task stops and heartbeat control.";

    // The registry.
    nb::class_<gw::ConnectionManager> manager(
        m, "ConnectionManager", nb::type_slots(ombrel::common::gc_slots<gw::ConnectionManager>()),
        "Manages active WebSocket connections.");
    manager.def(nb::init<>(), "An empty registry.")
        .def_rw("_connections", &gw::ConnectionManager::connections,
                "The accepted connections, in the order they connected.");
    def_coroutine<&gw::connect>(manager, "connect", returns("None"), param("ws", WEBSOCKET),
                                R"doc(Accept the WebSocket handshake and register the connection.

Logs "Client connected (<n> total)".

Args:
    ws: The connection to accept.)doc");
    manager.def("disconnect",
                [](gw::ConnectionManager &self, nb::handle ws) { gw::disconnect(self, ws); },
                nb::arg("ws").none(), nb::sig("def disconnect(self, ws: fastapi.WebSocket) -> None"),
                R"doc(Unregister a connection (it is not closed).

Logs "Client disconnected (<n> total)" whether or not it was registered.

Args:
    ws: The connection; only its first registration is removed.)doc");
    def_coroutine<&gw::broadcast>(manager, "broadcast", returns("None"), param("message", MESSAGE),
                                  R"doc(Send a message to every registered connection, one after another.

A connection whose send fails is unregistered; one whose send does not
complete within ``BROADCAST_SEND_TIMEOUT`` seconds is unregistered too and
closed (code 1008, "Too slow: a message could not be delivered in time"),
so that it knows and can reconnect.

Args:
    message: The event, sent as JSON.

Raises:
    TypeError: message is not a dict, or the time limit is not a number.
    ValueError: the time limit is not positive and finite.)doc");

    gw::own_manager_type.remember((PyTypeObject *) nb::type<gw::ConnectionManager>().ptr());
    m.attr("manager") = nb::cast(gw::ConnectionManager{});
    // Seconds a broadcast waits for one connection's send before it counts
    // that connection as too slow (None: no limit).
    m.attr("BROADCAST_SEND_TIMEOUT") = 5.0;

    // The route.
    nb::class_<gw::WebSocketEndpoint> endpoint(
        m, "_WebSocketEndpoint", nb::dynamic_attr(), nb::type_slots(gw::endpoint_slots),
        "The endpoint of the \"/ws\" route: ``websocket_endpoint(ws: WebSocket)``.");
    // FastAPI's call takes the class's call slot straight to the endpoint;
    // `__call__` stands beside it for every other call.
    ombrel::bridge::def_coroutine_beside_slot<&gw::websocket_endpoint>(
        endpoint, {"__call__", gw::endpoint_qualname}, returns("None"), param("ws", WEBSOCKET),
        R"doc(Serve one connection until the client leaves or an error ends it.

Args:
    ws: The connection, accepted and registered first (a browser page
        from another origin is refused before that).)doc");

    m.def("create_ws_router", &gw::create_ws_router,
          nb::arg("allowed_origins").none() = nb::none(), nb::kw_only(),
          nb::arg("queue_size").none() = nb::none(), nb::arg("token").none() = nb::none(),
          nb::arg("replay").none() = nb::none(), nb::arg("close_codes").none() = false,
          nb::arg("max_message_size").none() = nb::none(),
          nb::arg("errors_as_events").none() = false,
          nb::sig("def create_ws_router(allowed_origins: collections.abc.Iterable[str] | None = None, "
                  "*, queue_size: int | None = None, token: str | None = None, "
                  "replay: int | None = None, close_codes: bool = False, "
                  "max_message_size: int | None = None, errors_as_events: bool = False) "
                  "-> fastapi.APIRouter"),
          R"doc(Create the router carrying the WebSocket route "/ws".

Browser pages may connect only from the origins in ``allowed_origins``, from
a loopback host, or from the server's own IP address and port; clients that
send no Origin header (other programs) always may. Everything after it is
off unless given.

Args:
    allowed_origins: Exact origins ("https://app.example:8443") allowed
        besides those.
    queue_size: Each connection gets a queue of this many events and one
        writer: a turn's events and broadcasts are queued and never wait on
        a socket, in order per connection. A connection whose queue is full
        (or holds 16 Mi characters) is closed with 1008 "Too slow: a message
        could not be delivered in time".
    token: The handshake must carry it, as the query parameter ``token`` or
        a Sec-WebSocket-Protocol entry ``token.<token>`` (the server then
        answers the first other protocol offered); otherwise the connection
        is closed (1008, an HTTP 403 to the client) before it is registered.
        Compared in constant time, never logged.
    replay: Each connection belongs to a session. Its first event is
        {"type": "session", "session": <id>, "resumed": <bool>}; every
        later one carries "seq", numbered per session, and the session keeps
        its last ``replay`` events (16 Mi characters of them at most); 64
        sessions without a connection are kept at most. A client that reconnects with the query
        parameters ``session`` and ``last_seq`` gets the events it missed
        ("resumed": true, and "lost": how many were no longer kept), then
        the live ones; approvals still pending are sent again with
        "resent": true. A turn whose connection drops goes on, its events
        kept for the session: a client that comes back while it runs takes
        the session over and gets the rest live. Without a valid session and
        seq, a new session, and "refused" says why ("unknown session",
        "session in use", "last_seq out of range").
    close_codes: A connection ended by a protocol error is closed with a
        code that says why: 1007 for a frame that is not a JSON object, 1009
        for one over ``max_message_size``, 1011 for a failure while handling
        a command.
    max_message_size: Characters a frame may have; a longer one ends its
        connection.
    errors_as_events: A command whose handling fails with an Exception (a
        host object refusing it, say a heartbeat interval below its floor)
        is answered with {"type": "error", "message": <its text>}, logged
        ("Command failed", with the traceback), and the connection goes on.

Returns:
    A new ``fastapi.APIRouter``; every router shares the module's
    ``manager``.)doc");

    // Per-client delivery and sessions: private state of the routers made
    // with queue_size or replay.
    nb::class_<gw::Client>(m, "_Client", nb::type_slots(ombrel::common::gc_slots<gw::Client>()),
                           "One connection's queue of outgoing events and its writer.");
    nb::class_<gw::Session>(m, "_Session", nb::type_slots(ombrel::common::gc_slots<gw::Session>()),
                            "One session's numbered events, the last ones kept.")
        .def_ro("id", &gw::Session::id)
        .def_ro("seq", &gw::Session::seq);
    nb::class_<gw::Deliveries>(m, "_Deliveries",
                               nb::type_slots(ombrel::common::gc_slots<gw::Deliveries>()),
                               "The clients, sessions and pending approvals of the routers.")
        .def_ro("clients", &gw::Deliveries::clients)
        .def_ro("sessions", &gw::Deliveries::sessions)
        .def_ro("detached", &gw::Deliveries::detached)
        .def_ro("approvals", &gw::Deliveries::approvals);
    m.attr("_deliveries") = nb::cast(gw::Deliveries{});
    // The tasks closing clients that were too slow, until each is done.
    m.attr("_closing") = nb::set();

    // The commands.
    def_coroutine<&gw::handle_message>(m, "_handle_message", returns("None"),
                                       param("ws", WEBSOCKET), param("message", MESSAGE),
                                       R"doc(Route incoming WebSocket messages.

Args:
    ws: The connection the command came on.
    message: The decoded command; its "type" picks the handler.)doc");

    m.attr("_FORCE_CU_KEYWORDS") = gw::force_cu_keywords();

    def_coroutine<&gw::handle_chat>(m, "_handle_chat", returns("None"), param("ws", WEBSOCKET),
                                    param("message", MESSAGE),
                                    R"doc(Process a user chat message.

Routes to the Standard agent (primary) or Computer Use agent (explicit only).

Args:
    ws: The connection that receives the turn's events.
    message: The "chat" command: "content", and optionally
        "attachments" and "computer_use".)doc");

    m.def("_should_use_computer_use",
          [](nb::handle message) { return gw::should_use_computer_use(message); },
          nb::arg("message").none(), nb::sig("def _should_use_computer_use(message: str) -> bool"),
          "Whether the user explicitly asks for Computer Use mode.");

    def_coroutine<&gw::handle_standard_chat>(
        m, "_handle_standard_chat", returns("None"), param("ws", WEBSOCKET),
        param("agent", "typing.Any"), param("user_text", "str"),
        param("attachments", "list[dict[str, str]] | None") = nb::none(),
        R"doc(Process a message through the Standard agent.

Args:
    ws: The connection that receives the events.
    agent: The standard agent, whose ``process_message`` streams them.
    user_text: The user's message.
    attachments: Attachments passed on to the agent.)doc");

    def_coroutine<&gw::handle_computer_use_chat>(
        m, "_handle_computer_use_chat", returns("None"), param("ws", WEBSOCKET),
        param("cu_agent", "typing.Any"), param("user_text", "str"),
        R"doc(Process a message through the Anthropic Computer Use agent.

Args:
    ws: The connection that receives the translated events.
    cu_agent: The computer-use agent.
    user_text: The user's task.)doc");

    def_coroutine<&gw::handle_approval>(m, "_handle_approval", returns("None"),
                                        param("ws", WEBSOCKET), param("message", MESSAGE),
                                        R"doc(Handle user's approval/rejection of a pending tool action.

Args:
    ws: The connection that receives the answer.
    message: The "approve" command: "approval_id" and "approved".)doc");

    def_coroutine<&gw::handle_new_conversation>(m, "_handle_new_conversation", returns("None"),
                                                param("ws", WEBSOCKET),
                                                R"doc(Start a new conversation.

Args:
    ws: The connection that receives "conversation_started".)doc");

    def_coroutine<&gw::handle_resume_conversation>(
        m, "_handle_resume_conversation", returns("None"), param("ws", WEBSOCKET),
        param("message", MESSAGE),
        R"doc(Switch the agent to a stored conversation and send its messages.

Args:
    ws: The connection that receives "conversation_resumed".
    message: The "resume_conversation" command: "conversation_id".)doc");

    def_coroutine<&gw::handle_stop_task>(m, "_handle_stop_task", returns("None"),
                                         param("ws", WEBSOCKET),
                                         R"doc(Stop the currently running agent task (standard or computer use).

Args:
    ws: The connection that receives "task_stopped" or an error.)doc");

    def_coroutine<&gw::handle_heartbeat_control>(
        m, "_handle_heartbeat_control", returns("None"), param("ws", WEBSOCKET),
        param("message", MESSAGE),
        R"doc(Start, stop, pause, or resume the heartbeat from the UI.

Args:
    ws: The connection that receives "heartbeat_status".
    message: The "heartbeat_control" command: "action" and, for
        "start", optionally "interval".)doc");
}
