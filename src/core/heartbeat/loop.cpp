// The loop that the "heartbeat" task runs: sleep, then beat unless paused,
// in quiet hours or held back by the safety valve.
//
// The garbage collector sees what a suspended frame awaits and its
// parameters, not its locals or temporaries. So every Python object that
// must stay alive across a suspension is a parameter (`beat`, `send_event`)
// or the awaited object itself (handed over to the await, not kept in a
// local), and locals are dropped before awaiting: a runner whose task is
// suspended on something only the runner itself reaches is then
// collectable as one cycle.
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
using common::Interned;

const Interned in_quiet_hours_name("_in_quiet_hours"), interval_seconds("interval_seconds"),
    max_consecutive("max_consecutive"), prompt_name("prompt"),
    default_prompt("DEFAULT_HEARTBEAT_PROMPT"), type_key("type"), reason_key("reason"),
    count_key("count"), beat_key("beat"), max_key("max");

HeartbeatRunner &runner_of(nb::handle self) {
    return nb::cast<HeartbeatRunner &>(self);
}

/// Hands `event` to `_on_event` when one is set.
Coro<void> send_event(nb::object self, nb::dict event) {
    nb::object on_event = runner_of(self).on_event();
    if (on_event.is_none())
        co_return;
    nb::object sending = on_event(event);
    on_event.reset();
    co_await bridge::propagating(std::move(sending));
}

/// Awaits `_on_beat(prompt)`. Its failures are logged and end here: the beat
/// counts all the same. Cancellation and other non-`Exception` errors go on.
Coro<void> call_agent(nb::object self, nb::object prompt) {
    std::optional<nb::python_error> failure;
    try {
        nb::object call = runner_of(self).on_beat()(prompt);
        bridge::Outcome answered = co_await bridge::outcome(std::move(call));
        if (!answered)
            failure.emplace(answered.take_error());
    } catch (nb::python_error &e) {
        failure.emplace(std::move(e));
    }
    if (!failure)
        co_return;
    if (!common::is_exception(*failure))
        co_await bridge::raise(std::move(*failure));
    logger.exception("Heartbeat agent call failed", failure->value());
}

/// One beat: its event, then the prompt to the agent.
Coro<void> beat(nb::object self, nb::dict event, nb::object prompt) {
    co_await bridge::propagating(send_event(self, std::move(event)));
    co_await bridge::propagating(call_agent(std::move(self), std::move(prompt)));
}

/// The configured prompt, or the module's default prompt when it is empty.
nb::object choose_prompt(nb::handle config) {
    nb::object prompt = common::attr(config, prompt_name);
    if (common::truthy(prompt))
        return prompt;
    return common::attr(common::import_module("ombrel.core.heartbeat"), default_prompt);
}

/// Decides what one tick does after the sleep: nothing (paused, quiet
/// hours), the safety valve's "heartbeat_paused" event, or a beat.
std::optional<Coro<void>> tick(nb::handle self) {
    if (runner_of(self).paused)
        return std::nullopt;
    if (common::truthy(common::call_method(self, in_quiet_hours_name))) {
        logger.debug("Skipping heartbeat \xE2\x80\x94 quiet hours");
        return std::nullopt;
    }

    // The configuration and the count are read again at each use: the
    // host's code (log handlers, the configuration's own values) runs in
    // between and may change them.
    HeartbeatRunner &runner = runner_of(self);
    nb::object limit = common::attr(runner.config(), max_consecutive);
    if (nb::int_(runner.consecutive_beats) >= limit) {
        logger.info("Heartbeat paused \xE2\x80\x94 %d consecutive beats with no user interaction",
                    runner.consecutive_beats);
        runner.paused = true;
        nb::dict event;
        event[type_key.get()] = "heartbeat_paused";
        event[reason_key.get()] = "max_consecutive_reached";
        event[count_key.get()] = runner.consecutive_beats;
        return send_event(nb::borrow(self), std::move(event));
    }

    nb::object prompt = choose_prompt(runner.config());
    if (runner.consecutive_beats == std::numeric_limits<std::int64_t>::max())
        throw std::overflow_error("too many consecutive heartbeats to count");
    ++runner.consecutive_beats;
    logger.info("Heartbeat #%d firing", runner.consecutive_beats);
    nb::dict event;
    event[type_key.get()] = "heartbeat";
    event[beat_key.get()] = runner.consecutive_beats;
    event[max_key.get()] = common::attr(runner.config(), max_consecutive);
    return beat(nb::borrow(self), std::move(event), std::move(prompt));
}

/// `asyncio.sleep(interval_seconds)`, the interval read now.
nb::object sleep_interval(nb::handle self) {
    return bridge::sleep(common::attr(runner_of(self).config(), interval_seconds));
}

} // namespace

// Awaits are taken as outcomes: the cancellation that `stop()` delivers ends
// the loop without a C++ exception.
Coro<void> run_loop(nb::object self) {
    std::optional<nb::python_error> failure;
    try {
        while (!runner_of(self).stop_requested()) {
            bridge::Outcome slept = co_await bridge::outcome(sleep_interval(self));
            if (!slept) {
                failure.emplace(slept.take_error());
                break;
            }
            if (runner_of(self).stop_requested())
                break;
            if (std::optional<Coro<void>> work = tick(self)) {
                bridge::Outcome done = co_await bridge::outcome(std::move(*work));
                if (!done) {
                    failure.emplace(done.take_error());
                    break;
                }
            }
        }
    } catch (nb::python_error &e) {
        failure.emplace(std::move(e));
    }
    if (!failure)
        co_return;
    if (!failure->matches(bridge::cancelled_error()))
        co_await bridge::raise(std::move(*failure));
    logger.debug("Heartbeat loop cancelled");
}

} // namespace ombrel::heartbeat
