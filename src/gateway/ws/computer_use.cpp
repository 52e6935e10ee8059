#include "gateway/ws/handlers.h"

#include "gateway/ws/texts.h"

#include <optional>

namespace ombrel::gateway {

namespace {

nb::object translate_tool_call(nb::handle data) {
    nb::object tool = get(data, "tool", nb::str(""));
    nb::object input = get(data, "input", nb::dict());
    nb::object action = is_mapping(input) ? get(input, "action", nb::str("")) : nb::str("");
    nb::object name = tool.equal(nb::str("computer"))
                          ? nb::object(append_text("computer.", action))
                          : tool;
    return event({{"type", nb::str("tool_call")},
                  {"id", get(data, "id", nb::str(""))},
                  {"tool", name},
                  {"arguments", input}});
}

nb::object translate_tool_result(nb::handle data) {
    nb::object result = get(data, "result", nb::dict());
    nb::dict translated = event({{"type", nb::str("tool_result")},
                                 {"id", get(data, "id", nb::str(""))},
                                 {"tool", get(data, "tool", nb::str(""))}});
    if (!is_mapping(result)) {
        translated["result"] = text_of(result);
        return translated;
    }
    nb::object kind = get(result, "type", nb::none());
    if (kind.equal(nb::str("image"))) {
        translated["screenshot"] = true;
        translated["image_base64"] = get(result, "base64", nb::str(""));
        translated["result"] = texts::SCREENSHOT_CAPTURED;
    } else if (kind.equal(nb::str("error"))) {
        translated["result"] = get(result, "error", nb::str(texts::UNKNOWN_ERROR));
        translated["error"] = true;
    } else {
        translated["result"] = get(result, "text", text_of(result));
    }
    return translated;
}

/// The client's form of one agent event, or None for a kind the client does
/// not know.
nb::object translate(nb::handle agent_event) {
    nb::object kind = agent_event.attr(names::type);
    auto is = [&](const char *name) { return kind.equal(nb::str(name)); };
    auto data = [&] { return agent_event.attr(names::data); };

    if (is("tool_call"))
        return translate_tool_call(data());
    if (is("tool_result"))
        return translate_tool_result(data());
    if (is("text"))
        return event({{"type", nb::str("text")},
                      {"content", get(data(), "content", nb::str(""))}});
    if (is("thinking"))
        return event({{"type", nb::str("thinking")},
                      {"message", get(data(), "message", nb::str(""))}});
    if (is("iteration")) {
        nb::object values = data();
        return event({{"type", nb::str("iteration")},
                      {"number", get(values, "number", nb::int_(0))},
                      {"max", get(values, "max", nb::int_(50))}});
    }
    if (is("done"))
        return event({{"type", nb::str("done")},
                      {"iterations", get(data(), "iterations", nb::int_(0))}});
    if (is("error"))
        return event({{"type", nb::str("error")},
                      {"message", get(data(), "message", nb::str(texts::UNKNOWN_ERROR))}});
    if (is("cancelled"))
        return event({{"type", nb::str("cancelled")},
                      {"message", get(data(), "message", nb::str(texts::TASK_CANCELLED))}});
    return nb::none();
}

} // namespace

Coro<void> handle_computer_use_chat(nb::object ws, nb::object cu_agent,
                                    nb::object user_text) {
    common::expect_str(user_text, "user_text");
    logger.info(texts::LOG_COMPUTER_USE_HANDLING, first_chars(user_text, 80));
    bridge::Local<nb::dict> reply = mode_event("computer_use", texts::COMPUTER_USE_MODE);
    co_await send_json(ws, reply);

    std::optional<nb::python_error> failure;
    try {
        bridge::Local<> events = bridge::aiter(cu_agent.attr("run_task")(user_text));
        while (bridge::Local<> agent_event = co_await bridge::anext(events)) {
            bridge::Local<> translated = translate(agent_event);
            if (!translated.is_none())
                co_await send_json(ws, translated);
        }
    } catch (...) {
        failure.emplace(bridge::as_python_error(std::current_exception()));
    }
    if (failure)
        co_await end_failed_turn(ws, std::move(*failure), texts::LOG_COMPUTER_USE_ERROR,
                                 texts::COMPUTER_USE_ERROR);
}

} // namespace ombrel::gateway
