#include "handlers.h"

#include "texts.h"

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

// No handler's error is caught here: each await hands it on as it stands.
Coro<void> handle_message(nb::object ws, nb::object message) {
    bridge::Local<nb::dict> command = common::expect_dict(message, "message");
    bridge::Local<> type = get(command, names::type, nb::none());
    if (equals(type, chat))
        co_await bridge::propagating(handle_chat(ws, command));
    else if (equals(type, approve))
        co_await bridge::propagating(handle_approval(ws, command));
    else if (equals(type, new_conversation))
        co_await bridge::propagating(handle_new_conversation(ws));
    else if (equals(type, resume_conversation))
        co_await bridge::propagating(handle_resume_conversation(ws, command));
    else if (equals(type, heartbeat_control))
        co_await bridge::propagating(handle_heartbeat_control(ws, command));
    else if (equals(type, stop_task))
        co_await bridge::propagating(handle_stop_task(ws));
    else if (equals(type, ping))
        co_await bridge::propagating(send_json(ws, pong_event()));
    else
        co_await bridge::propagating(
            send_json(ws, error_event(append_text(texts::UNKNOWN_MESSAGE_TYPE, type))));
}

} // namespace ombrel::gateway
