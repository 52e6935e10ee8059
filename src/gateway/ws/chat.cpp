#include "gateway/ws/handlers.h"

#include "gateway/ws/texts.h"

#include <optional>

namespace ombrel::gateway {

nb::set force_cu_keywords() {
    nb::set phrases;
    for (const char *phrase :
         {"use computer use", "computer use mode", "use screenshots", "screenshot mode",
          "vision mode", "use vision", "switch to computer use", "enable computer use"})
        phrases.add(nb::str(phrase));
    return phrases;
}

bool should_use_computer_use(nb::handle message) {
    nb::object lowered = common::expect_str(message, "message").attr("lower")();
    for (nb::handle phrase : module_attr(names::FORCE_CU_KEYWORDS)) {
        int found = PySequence_Contains(lowered.ptr(), phrase.ptr());
        if (found < 0)
            throw nb::python_error();
        if (found)
            return true;
    }
    return false;
}

Coro<void> handle_chat(nb::object ws, nb::object message) {
    bridge::Local<nb::dict> command = common::expect_dict(message, "message");
    bridge::Local<> state = server_state();
    bridge::Local<> agent = state_get(state, "agent");
    bridge::Local<> cu_agent = state_get(state, "cu_agent");
    bridge::Local<> heartbeat = state_get(state, "heartbeat");

    bool has_agent = common::truth(agent);
    bool has_cu_agent = common::truth(cu_agent);
    if (!has_agent && !has_cu_agent) {
        co_await send_json(ws, error_event(texts::AGENT_NOT_INITIALIZED));
        co_return;
    }

    bridge::Local<> content = get(command, "content", nb::str(""));
    bridge::Local<> text = common::expect_str(content, "content").attr("strip")();
    if (nb::len(text) == 0)
        co_return;
    bridge::Local<> attachments = get(command, "attachments", nb::none());

    // A real user message: the heartbeat's count of unanswered beats restarts.
    if (common::truth(heartbeat))
        heartbeat.attr("reset_consecutive")();

    bridge::Local<> requested = get(command, "computer_use", nb::none());
    bool computer_use = requested.is_none()
                            ? has_cu_agent && should_use_computer_use(text)
                            : common::truth(requested);

    if (computer_use && has_cu_agent)
        co_await handle_computer_use_chat(ws, cu_agent, text);
    else if (has_agent)
        co_await handle_standard_chat(ws, agent, text, attachments);
    else
        co_await send_json(ws, error_event(texts::NO_SUITABLE_AGENT));
}

Coro<void> handle_standard_chat(nb::object ws, nb::object agent, nb::object user_text,
                                nb::object attachments) {
    common::expect_str(user_text, "user_text");
    if (!attachments.is_none() && !PyList_CheckExact(attachments.ptr()))
        nb::raise_type_error("attachments must be list or None, not %s",
                             common::python_type_name(attachments).c_str());

    logger.info(texts::LOG_STANDARD_HANDLING, first_chars(user_text, 80));
    bridge::Local<nb::dict> reply = mode_event("standard", texts::STANDARD_MODE);
    co_await send_json(ws, reply);

    std::optional<nb::python_error> failure;
    try {
        bridge::Local<> stream = agent.attr("process_message")(
            user_text, nb::arg("attachments") = attachments);
        bridge::Local<> events = bridge::aiter(stream);
        while (bridge::Local<> agent_event = co_await bridge::anext(events)) {
            co_await send_json(ws, call_method(agent_event, names::to_dict));
            // Approval requests go to every open connection, this one again.
            if (equal(agent_event.attr(names::type), names::tool_approval_needed))
                co_await module_attr(names::manager).attr("broadcast")(
                    call_method(agent_event, names::to_dict));
        }
    } catch (...) {
        failure.emplace(bridge::as_python_error(std::current_exception()));
    }
    if (failure)
        co_await end_failed_turn(ws, std::move(*failure), texts::LOG_STANDARD_ERROR,
                                 texts::AGENT_ERROR);
}

nb::dict mode_event(const char *mode, const char *message) {
    return event({{"type", nb::str("mode")}, {"mode", nb::str(mode)}, {"message", nb::str(message)}});
}

Coro<void> end_failed_turn(nb::object ws, nb::python_error failure, const char *log_text,
                           const char *prefix) {
    if (!common::is_exception(failure))
        throw failure;
    logger.exception(log_text, failure.value());
    bridge::Local<nb::dict> reply = error_event(append_text(prefix, common::exception_message(failure.value())));
    co_await send_json(ws, reply);
}

} // namespace ombrel::gateway
