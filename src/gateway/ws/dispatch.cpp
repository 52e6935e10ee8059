#include "gateway/ws/handlers.h"

#include "gateway/ws/texts.h"

namespace ombrel::gateway {

namespace {
const Interned chat("chat"), approve("approve"), new_conversation("new_conversation"),
    resume_conversation("resume_conversation"), heartbeat_control("heartbeat_control"),
    stop_task("stop_task"), ping("ping"), pong("pong");

nb::dict pong_event() {
    nb::dict event;
    event[names::type.get()] = pong.get();
    return event;
}
} // namespace

nb::object command_awaitable(nb::handle ws, nb::object message) {
    nb::dict command = common::expect_dict(message, "message");
    nb::object type = get(command, names::type, nb::none());
    nb::object client = nb::borrow(ws);
    if (equal(type, chat))
        return handle_chat(client, command).to_python();
    if (equal(type, approve))
        return handle_approval(client, command).to_python();
    if (equal(type, new_conversation))
        return handle_new_conversation(client).to_python();
    if (equal(type, resume_conversation))
        return handle_resume_conversation(client, command).to_python();
    if (equal(type, heartbeat_control))
        return handle_heartbeat_control(client, command).to_python();
    if (equal(type, stop_task))
        return handle_stop_task(client).to_python();
    if (equal(type, ping))
        return send_json(ws, pong_event());
    return send_json(ws, error_event(append_text(texts::UNKNOWN_MESSAGE_TYPE, type)));
}

// No handler's error is caught here: the await hands it on as it stands.
Coro<void> handle_message(nb::object ws, nb::object message) {
    co_await bridge::propagating(command_awaitable(ws, std::move(message)));
}

} // namespace ombrel::gateway
