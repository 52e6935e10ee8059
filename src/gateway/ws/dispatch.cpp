#include "handlers.h"

#include "texts.h"

namespace ombrel::gateway {

static nb::dict pong() { return event({{"type", nb::str("pong")}}); }

Coro<void> handle_message(nb::object ws, nb::object message) {
    bridge::Local<nb::dict> command = common::expect_dict(message, "message");
    bridge::Local<> type = get(command, "type", nb::none());
    if (type.equal(nb::str("chat")))
        co_await handle_chat(ws, command);
    else if (type.equal(nb::str("approve")))
        co_await handle_approval(ws, command);
    else if (type.equal(nb::str("new_conversation")))
        co_await handle_new_conversation(ws);
    else if (type.equal(nb::str("resume_conversation")))
        co_await handle_resume_conversation(ws, command);
    else if (type.equal(nb::str("heartbeat_control")))
        co_await handle_heartbeat_control(ws, command);
    else if (type.equal(nb::str("stop_task")))
        co_await handle_stop_task(ws);
    else if (type.equal(nb::str("ping")))
        co_await send_json(ws, pong());
    else
        co_await send_json(ws, error_event(append_text(texts::UNKNOWN_MESSAGE_TYPE, type)));
}

} // namespace ombrel::gateway
