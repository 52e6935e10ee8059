// ombrel.gateway.ws: the WebSocket gateway between the chat client and the
// host's agents. What Python sees of it; the logic lives beside this file.
#include "gateway/ws/connection_manager.h"
#include "gateway/ws/endpoint.h"
#include "gateway/ws/handlers.h"

namespace nb = nanobind;
namespace gw = ombrel::gateway;

// `self` of a coroutine method: checked to be an instance of the class, and
// handed to the coroutine as the Python object it keeps alive.
template <typename T> using Self = nb::pointer_and_handle<T>;

// How a coroutine looks in signatures.
#define COROUTINE(T) "collections.abc.Coroutine[typing.Any, typing.Any, " T "]"

NB_MODULE(ws, m) {
    ombrel::bridge::register_coroutine_type(m);

    nb::class_<gw::ConnectionManager>(m, "ConnectionManager",
                                      nb::type_slots(ombrel::common::gc_slots<gw::ConnectionManager>()),
                                      "Manages active WebSocket connections.")
        .def(nb::init<>(), "An empty registry.")
        .def_rw("_connections", &gw::ConnectionManager::connections,
                "The accepted connections, in the order they connected.")
        .def("connect",
             [](Self<gw::ConnectionManager> self, nb::object ws) {
                 return gw::connect(nb::borrow(self.h), std::move(ws))
                     .named("ConnectionManager.connect");
             },
             nb::arg("ws").none(),
             nb::sig("def connect(self, ws: fastapi.WebSocket) -> " COROUTINE("None")),
             "Accept the WebSocket handshake and register the connection.")
        .def("disconnect",
             [](gw::ConnectionManager &self, nb::handle ws) { gw::disconnect(self, ws); },
             nb::arg("ws").none(), nb::sig("def disconnect(self, ws: fastapi.WebSocket) -> None"),
             "Unregister a connection (it is not closed).")
        .def("broadcast",
             [](Self<gw::ConnectionManager> self, nb::object message) {
                 return gw::broadcast(nb::borrow(self.h), std::move(message))
                     .named("ConnectionManager.broadcast");
             },
             nb::arg("message").none(),
             nb::sig("def broadcast(self, message: dict[str, typing.Any]) -> " COROUTINE("None")),
             "Send a message to every registered connection, one after another; "
             "connections whose send fails, or does not complete within "
             "``BROADCAST_SEND_TIMEOUT`` seconds, are unregistered.");

    gw::own_manager_type.remember((PyTypeObject *) nb::type<gw::ConnectionManager>().ptr());
    m.attr("manager") = nb::cast(gw::ConnectionManager{});
    // Seconds a broadcast waits for one connection's send before it counts
    // that connection as dead (None: no limit).
    m.attr("BROADCAST_SEND_TIMEOUT") = 5.0;

    nb::class_<gw::WebSocketEndpoint> endpoint(
        m, "_WebSocketEndpoint", nb::dynamic_attr(), nb::type_slots(gw::endpoint_slots),
        "The endpoint of the \"/ws\" route: ``websocket_endpoint(ws: WebSocket)``.");
    ombrel::bridge::def_beside_slot(
        endpoint, "__call__",
        [](Self<gw::WebSocketEndpoint> self, nb::object ws) {
            return gw::websocket_endpoint(nb::borrow(self.h), std::move(ws))
                .named(gw::endpoint_qualname);
        },
        nb::arg("ws").none(),
        nb::sig("def __call__(self, ws: fastapi.WebSocket) -> " COROUTINE("None")),
        "Serve one connection until the client leaves or an error ends it.");

    m.def("create_ws_router", &gw::create_ws_router,
          nb::arg("allowed_origins").none() = nb::none(),
          nb::sig("def create_ws_router(allowed_origins: collections.abc.Iterable[str] | None = None)"
                  " -> fastapi.APIRouter"),
          "Create the router carrying the WebSocket route \"/ws\".\n\n"
          "Browser pages may connect only from the origins in ``allowed_origins``, "
          "from a loopback host, or from the server's own IP address and port.");

    m.def("_handle_message",
          [](nb::object ws, nb::object message) {
              return gw::handle_message(std::move(ws), std::move(message))
                  .named("_handle_message");
          },
          nb::arg("ws").none(), nb::arg("message").none(),
          nb::sig("def _handle_message(ws: fastapi.WebSocket, message: dict[str, typing.Any]) -> "
                  COROUTINE("None")),
          "Route incoming WebSocket messages.");

    m.attr("_FORCE_CU_KEYWORDS") = gw::force_cu_keywords();

    m.def("_handle_chat",
          [](nb::object ws, nb::object message) {
              return gw::handle_chat(std::move(ws), std::move(message)).named("_handle_chat");
          },
          nb::arg("ws").none(), nb::arg("message").none(),
          nb::sig("def _handle_chat(ws: fastapi.WebSocket, message: dict[str, typing.Any]) -> "
                  COROUTINE("None")),
          "Process a user chat message.\n\n"
          "Routes to the Standard agent (primary) or Computer Use agent (explicit only).");

    m.def("_should_use_computer_use",
          [](nb::handle message) { return gw::should_use_computer_use(message); },
          nb::arg("message").none(), nb::sig("def _should_use_computer_use(message: str) -> bool"),
          "Whether the user explicitly asks for Computer Use mode.");

    m.def("_handle_standard_chat",
          [](nb::object ws, nb::object agent, nb::object user_text, nb::object attachments) {
              return gw::handle_standard_chat(std::move(ws), std::move(agent),
                                              std::move(user_text), std::move(attachments))
                  .named("_handle_standard_chat");
          },
          nb::arg("ws").none(), nb::arg("agent").none(), nb::arg("user_text").none(),
          nb::arg("attachments").none() = nb::none(),
          nb::sig("def _handle_standard_chat(ws: fastapi.WebSocket, agent: typing.Any, "
                  "user_text: str, attachments: list[dict[str, str]] | None = None) -> "
                  COROUTINE("None")),
          "Process a message through the Standard agent.");

    m.def("_handle_computer_use_chat",
          [](nb::object ws, nb::object cu_agent, nb::object user_text) {
              return gw::handle_computer_use_chat(std::move(ws), std::move(cu_agent),
                                                  std::move(user_text))
                  .named("_handle_computer_use_chat");
          },
          nb::arg("ws").none(), nb::arg("cu_agent").none(), nb::arg("user_text").none(),
          nb::sig("def _handle_computer_use_chat(ws: fastapi.WebSocket, cu_agent: typing.Any, "
                  "user_text: str) -> " COROUTINE("None")),
          "Process a message through the Anthropic Computer Use agent.");

    m.def("_handle_approval",
          [](nb::object ws, nb::object message) {
              return gw::handle_approval(std::move(ws), std::move(message))
                  .named("_handle_approval");
          },
          nb::arg("ws").none(), nb::arg("message").none(),
          nb::sig("def _handle_approval(ws: fastapi.WebSocket, message: dict[str, typing.Any]) -> "
                  COROUTINE("None")),
          "Handle user's approval/rejection of a pending tool action.");

    m.def("_handle_new_conversation",
          [](nb::object ws) {
              return gw::handle_new_conversation(std::move(ws)).named("_handle_new_conversation");
          },
          nb::arg("ws").none(),
          nb::sig("def _handle_new_conversation(ws: fastapi.WebSocket) -> " COROUTINE("None")),
          "Start a new conversation.");

    m.def("_handle_resume_conversation",
          [](nb::object ws, nb::object message) {
              return gw::handle_resume_conversation(std::move(ws), std::move(message))
                  .named("_handle_resume_conversation");
          },
          nb::arg("ws").none(), nb::arg("message").none(),
          nb::sig("def _handle_resume_conversation(ws: fastapi.WebSocket, "
                  "message: dict[str, typing.Any]) -> " COROUTINE("None")),
          "Switch the agent to a stored conversation and send its messages.");

    m.def("_handle_stop_task",
          [](nb::object ws) {
              return gw::handle_stop_task(std::move(ws)).named("_handle_stop_task");
          },
          nb::arg("ws").none(), nb::sig("def _handle_stop_task(ws: fastapi.WebSocket) -> " COROUTINE("None")),
          "Stop the currently running agent task (standard or computer use).");

    m.def("_handle_heartbeat_control",
          [](nb::object ws, nb::object message) {
              return gw::handle_heartbeat_control(std::move(ws), std::move(message))
                  .named("_handle_heartbeat_control");
          },
          nb::arg("ws").none(), nb::arg("message").none(),
          nb::sig("def _handle_heartbeat_control(ws: fastapi.WebSocket, "
                  "message: dict[str, typing.Any]) -> " COROUTINE("None")),
          "Start, stop, pause, or resume the heartbeat from the UI.");
}
