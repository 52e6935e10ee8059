// The loop that the "heartbeat" task runs: sleep, then beat unless paused,
// in quiet hours or held back by the safety valve.
//
// The garbage collector sees what a suspended frame awaits and its
// parameters, not its locals or temporaries. So every Python object that
// must stay alive across a suspension is passed to a coroutine as a
// parameter (`await_visibly`, `beat`, `send_event`), and locals are dropped
// before awaiting: a runner whose task is suspended on something only the
// runner itself reaches is then collectable as one cycle.
#include "log.h"
#include "runner.h"

#include "bridge/bridge.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>

namespace ombrel::heartbeat {

namespace {

using bridge::Coro;

HeartbeatRunner &runner_of(nb::handle self) {
    return nb::cast<HeartbeatRunner &>(self);
}

/// Awaits `awaitable` (its result is not needed) from a frame that holds it
/// as a parameter.
Coro<void> await_visibly(nb::object awaitable) { co_await awaitable; }

/// Hands `event` to `_on_event` when one is set.
Coro<void> send_event(nb::object self, nb::dict event) {
    nb::object on_event = runner_of(self).on_event();
    if (on_event.is_none())
        co_return;
    nb::object sending = on_event(event);
    on_event.reset();
    co_await await_visibly(std::move(sending));
}

/// Awaits `_on_beat(prompt)`. Its failures are logged and end here: the beat
/// counts all the same. Cancellation and other non-`Exception` errors go on.
Coro<void> call_agent(nb::object self, nb::object prompt) {
    std::optional<nb::python_error> failure;
    try {
        nb::object call = runner_of(self).on_beat()(prompt);
        co_await await_visibly(std::move(call));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        failure.emplace(std::move(e));
    }
    if (failure)
        logger.exception("Heartbeat agent call failed", failure->value());
}

/// One beat: its event, then the prompt to the agent.
Coro<void> beat(nb::object self, nb::dict event, nb::object prompt) {
    co_await send_event(self, std::move(event));
    co_await call_agent(std::move(self), std::move(prompt));
}

/// The configured prompt, or the module's default prompt when it is empty.
nb::object choose_prompt(nb::handle config) {
    nb::object prompt = config.attr("prompt");
    if (common::truth(prompt))
        return prompt;
    return nb::module_::import_("ombrel.core.heartbeat").attr("DEFAULT_HEARTBEAT_PROMPT");
}

/// Decides what one tick does after the sleep: nothing (paused, quiet
/// hours), the safety valve's "heartbeat_paused" event, or a beat.
std::optional<Coro<void>> tick(nb::handle self) {
    if (runner_of(self).paused)
        return std::nullopt;
    if (common::truth(self.attr("_in_quiet_hours")())) {
        logger.debug("Skipping heartbeat \xE2\x80\x94 quiet hours");
        return std::nullopt;
    }

    // The configuration and the count are read again at each use: the
    // host's code (log handlers, the configuration's own values) runs in
    // between and may change them.
    HeartbeatRunner &runner = runner_of(self);
    if (nb::int_(runner.consecutive_beats) >= runner.config().attr("max_consecutive")) {
        logger.info("Heartbeat paused \xE2\x80\x94 %d consecutive beats with no user interaction",
                    runner.consecutive_beats);
        runner.paused = true;
        nb::dict event;
        event["type"] = "heartbeat_paused";
        event["reason"] = "max_consecutive_reached";
        event["count"] = runner.consecutive_beats;
        return send_event(nb::borrow(self), std::move(event));
    }

    nb::object prompt = choose_prompt(runner.config());
    if (runner.consecutive_beats == std::numeric_limits<std::int64_t>::max())
        throw std::overflow_error("too many consecutive heartbeats to count");
    ++runner.consecutive_beats;
    logger.info("Heartbeat #%d firing", runner.consecutive_beats);
    nb::dict event;
    event["type"] = "heartbeat";
    event["beat"] = runner.consecutive_beats;
    event["max"] = runner.config().attr("max_consecutive");
    return beat(nb::borrow(self), std::move(event), std::move(prompt));
}

} // namespace

Coro<void> run_loop(nb::object self) {
    try {
        while (!runner_of(self).stop_requested()) {
            co_await await_visibly(
                bridge::sleep(runner_of(self).config().attr("interval_seconds")));
            if (runner_of(self).stop_requested())
                break;
            if (std::optional<Coro<void>> work = tick(self))
                co_await std::move(*work);
        }
    } catch (nb::python_error &e) {
        if (!e.matches(bridge::asyncio().attr("CancelledError")))
            throw;
        logger.debug("Heartbeat loop cancelled");
    }
}

} // namespace ombrel::heartbeat
