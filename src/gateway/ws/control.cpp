#include "gateway/ws/handlers.h"

#include "gateway/ws/delivery.h"
#include "gateway/ws/texts.h"

namespace ombrel::gateway {

Coro<void> handle_approval(nb::object ws, nb::object message) {
    bridge::Local<nb::dict> command = common::expect_dict(message, "message");
    bridge::Local<> state = server_state();
    bridge::Local<> guardrails = state_get(state, "guardrails");
    bridge::Local<> approval_id = get(command, "approval_id", nb::none());
    bridge::Local<> approved = get(command, "approved", nb::bool_(false));

    if (!common::truth(guardrails)) {
        co_await send_json(ws, error_event(texts::GUARDRAILS_NOT_INITIALIZED));
        co_return;
    }
    if (!common::truth(approval_id)) {
        co_await send_json(ws, error_event(texts::MISSING_APPROVAL_ID));
        co_return;
    }
    bridge::Local<> success = guardrails.attr("resolve_approval")(approval_id, approved);
    approval_answered(approval_id);
    bridge::Local<nb::dict> reply = event({{"type", nb::str("approval_resolved")},
                                           {"approval_id", approval_id},
                                           {"approved", approved},
                                           {"success", success}});
    co_await send_json(ws, reply);
}

Coro<void> handle_new_conversation(nb::object ws) {
    bridge::Local<> agent = state_get(server_state(), "agent");
    if (!common::truth(agent))
        co_return;
    bridge::Local<> conversation_id =
        co_await agent.attr("conversation").attr("start_conversation")();
    bridge::Local<nb::dict> reply = event({{"type", nb::str("conversation_started")},
                                           {"conversation_id", conversation_id}});
    co_await send_json(ws, reply);
}

Coro<void> handle_resume_conversation(nb::object ws, nb::object message) {
    bridge::Local<nb::dict> command = common::expect_dict(message, "message");
    bridge::Local<> state = server_state();
    bridge::Local<> agent = state_get(state, "agent");
    bridge::Local<> conversation_id = get(command, "conversation_id", nb::none());
    if (!common::truth(agent) || !common::truth(conversation_id))
        co_return;

    co_await agent.attr("conversation").attr("resume_conversation")(conversation_id);
    bridge::Local<> memory = state[nb::str("memory")];
    bridge::Local<> messages = co_await memory.attr("get_messages")(conversation_id);
    bridge::Local<nb::dict> reply = event({{"type", nb::str("conversation_resumed")},
                                           {"conversation_id", conversation_id},
                                           {"messages", messages}});
    co_await send_json(ws, reply);
}

Coro<void> handle_stop_task(nb::object ws) {
    bridge::Local<> state = server_state();
    bridge::Local<> agent = state_get(state, "agent");
    bridge::Local<> cu_agent = state_get(state, "cu_agent");
    bool stopped = false;

    if (common::truth(cu_agent) && common::truth(cu_agent.attr("is_running"))) {
        cu_agent.attr("stop")();
        stopped = true;
    }
    // The standard agent is told to cancel whether or not it is working.
    if (common::truth(agent)) {
        agent.attr("cancel")();
        stopped = true;
    }
    bridge::Local<nb::dict> reply = stopped ? event({{"type", nb::str("task_stopped")},
                                                     {"message", nb::str(texts::TASK_STOPPED)}})
                                            : event({{"type", nb::str("info")},
                                                     {"message", nb::str(texts::NO_TASK_RUNNING)}});
    co_await send_json(ws, reply);
}

namespace {

/// The configured heartbeat interval: the configuration's `heartbeat.interval`,
/// or its `interval_seconds` where the record calls it that.
nb::object configured_interval(nb::handle config) {
    nb::object heartbeat = config.attr("heartbeat");
    try {
        return heartbeat.attr("interval");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_AttributeError) || !nb::hasattr(heartbeat, "interval_seconds"))
            throw;
    }
    return heartbeat.attr("interval_seconds");
}

nb::dict heartbeat_status(const char *status) {
    return event({{"type", nb::str("heartbeat_status")}, {"status", nb::str(status)}});
}

} // namespace

Coro<void> handle_heartbeat_control(nb::object ws, nb::object message) {
    bridge::Local<nb::dict> command = common::expect_dict(message, "message");
    bridge::Local<> state = server_state();
    bridge::Local<> heartbeat = state_get(state, "heartbeat");
    bridge::Local<> config = state_get(state, "config");

    if (!common::truth(heartbeat)) {
        co_await send_json(ws, error_event(texts::HEARTBEAT_NOT_INITIALIZED));
        co_return;
    }

    bridge::Local<> action = get(command, "action", nb::str(""));
    bridge::Local<nb::dict> reply;
    if (action.equal(nb::str("start"))) {
        bridge::Local<> interval = get(command, "interval", nb::none());
        if (!common::truth(interval))
            interval = common::truth(config) ? configured_interval(config)
                                             : nb::object(nb::int_(300));
        heartbeat.attr("start")(interval);
        reply = heartbeat_status("running");
        reply["interval"] = interval;
    } else if (action.equal(nb::str("stop"))) {
        heartbeat.attr("stop")();
        reply = heartbeat_status("stopped");
    } else if (action.equal(nb::str("pause"))) {
        heartbeat.attr("pause")();
        reply = heartbeat_status("paused");
    } else if (action.equal(nb::str("resume"))) {
        heartbeat.attr("resume")();
        reply = heartbeat_status("running");
    } else if (action.equal(nb::str("status"))) {
        bool running = common::truth(heartbeat.attr("is_running"));
        reply = heartbeat_status(running ? "running" : "stopped");
        reply["paused"] = heartbeat.attr("is_paused");
        reply["interval"] = heartbeat.attr("interval");
    } else {
        reply = error_event(append_text(texts::UNKNOWN_HEARTBEAT_ACTION, action));
    }
    co_await send_json(ws, reply);
}

} // namespace ombrel::gateway
