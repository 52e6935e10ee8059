// The loop that the "heartbeat" task runs: sleep, then beat unless paused,
// in quiet hours or held back by the safety valve.
#include "log.h"
#include "runner.h"

#include "bridge/bridge.h"

#include <optional>

namespace ombrel::heartbeat {

namespace {

using namespace nb::literals;

HeartbeatRunner &runner_of(nb::handle self) {
    return nb::cast<HeartbeatRunner &>(self);
}

/// The configured prompt, or the module's default prompt when it is empty.
nb::object choose_prompt(nb::handle config) {
    nb::object prompt = config.attr("prompt");
    if (bridge::truth(prompt))
        return prompt;
    return nb::module_::import_("ombrel.core.heartbeat").attr("DEFAULT_HEARTBEAT_PROMPT");
}

/// Hands `event` to `_on_event` when one is set.
bridge::Coro<void> send_event(nb::object self, nb::dict event) {
    nb::object on_event = runner_of(self).on_event();
    if (!on_event.is_none())
        co_await on_event(event);
}

/// Awaits `_on_beat(prompt)`. Its failures are logged and end here: the beat
/// counts all the same. Cancellation and other non-`Exception` errors go on.
bridge::Coro<void> call_agent(nb::object self, nb::object prompt) {
    std::optional<nb::python_error> failure;
    try {
        co_await runner_of(self).on_beat()(prompt);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        failure.emplace(std::move(e));
    }
    if (failure)
        logger.exception("Heartbeat agent call failed", failure->value());
}

/// One tick after the sleep: pause, quiet hours, valve, then the beat.
bridge::Coro<void> tick(nb::object self) {
    if (runner_of(self).paused)
        co_return;
    if (bridge::truth(self.attr("_in_quiet_hours")())) {
        logger.debug("Skipping heartbeat \xE2\x80\x94 quiet hours");
        co_return;
    }

    HeartbeatRunner &runner = runner_of(self);
    nb::object config = runner.config();
    nb::object limit = config.attr("max_consecutive");
    if (nb::int_(runner.consecutive_beats) >= limit) {
        logger.info("Heartbeat paused \xE2\x80\x94 %d consecutive beats with no user interaction",
                    runner.consecutive_beats);
        runner.paused = true;
        nb::dict event;
        event["type"] = "heartbeat_paused";
        event["reason"] = "max_consecutive_reached";
        event["count"] = runner.consecutive_beats;
        co_await send_event(self, event);
        co_return;
    }

    nb::object prompt = choose_prompt(config);
    std::int64_t beat = ++runner.consecutive_beats;
    logger.info("Heartbeat #%d firing", beat);
    nb::dict event;
    event["type"] = "heartbeat";
    event["beat"] = beat;
    event["max"] = config.attr("max_consecutive");
    co_await send_event(self, event);
    co_await call_agent(self, prompt);
}

} // namespace

bridge::Coro<void> run_loop(nb::object self) {
    try {
        while (!runner_of(self).stop_requested()) {
            nb::object interval = runner_of(self).config().attr("interval_seconds");
            co_await bridge::sleep(interval);
            if (runner_of(self).stop_requested())
                break;
            co_await tick(self);
        }
    } catch (nb::python_error &e) {
        if (!e.matches(bridge::asyncio().attr("CancelledError")))
            throw;
        logger.debug("Heartbeat loop cancelled");
    }
}

} // namespace ombrel::heartbeat
