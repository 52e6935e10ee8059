// The loop that the "heartbeat" task runs: sleep, then beat unless paused,
// in quiet hours or held back by the safety valve.
//
// The garbage collector sees what the suspended frame awaits, its parameter
// and its `Local`s: the prompt kept across the event's await is one, the
// other Python objects are handed over to the await or dropped before it. A
// runner whose task is suspended on something only the runner itself
// reaches is then collectable as one cycle.
#include "core/heartbeat/log.h"
#include "core/heartbeat/options.h"
#include "core/heartbeat/runner.h"

#include "bridge/bridge.h"

#include <algorithm>
#include <cmath>
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
    count_key("count"), beat_key("beat"), max_key("max"), skipped_key("skipped"),
    time_module("time"), time_name("time"), random_module("random"), uniform("uniform");

HeartbeatRunner &runner_of(nb::handle self) {
    return nb::cast<HeartbeatRunner &>(self);
}

/// The configured prompt, or the module's default prompt when it is empty.
nb::object choose_prompt(nb::handle config) {
    nb::object prompt = common::attr(config, prompt_name);
    if (common::truth(prompt))
        return prompt;
    return common::attr(common::import_module("ombrel.core.heartbeat"), default_prompt);
}

/// `time.time()`
double wall_clock() {
    return PyFloat_AsDouble(common::call_method(common::import_module(time_module), time_name).ptr());
}

/// Records a beat that fell due and was not sent, for `status()`.
void note_skip(HeartbeatRunner &runner, const char *reason) {
    runner.last_skip = wall_clock();
    runner.last_skip_reason = reason;
}

/// `skip_if_busy()`, when the runner has one: whether the agent is busy now.
/// A check that raises lets the beat go ahead; its error is logged once
/// until the check answers again.
bool agent_busy(HeartbeatRunner &runner) {
    nb::object check = runner.skip_if_busy();
    if (check.is_none())
        return false;
    PyObject *answer = PyObject_CallNoArgs(check.ptr());
    int busy = answer ? PyObject_IsTrue(answer) : -1;
    Py_XDECREF(answer);
    if (busy >= 0) {
        runner.busy_check_failing = false;
        return busy != 0;
    }
    nb::python_error error;
    if (!common::is_exception(error))
        throw std::move(error);
    if (!runner.busy_check_failing)
        logger.exception("Heartbeat busy check failed; beating anyway", error.value());
    runner.busy_check_failing = true;
    return false;
}

/// What one tick does after the sleep: nothing (paused, quiet hours), the
/// safety valve's "heartbeat_paused" event, a skip for a busy agent (its
/// "heartbeat_skipped" event), or a beat: its event, then the prompt to the
/// agent.
struct Tick {
    nb::object event;   ///< for `_on_event`; empty when the tick does nothing
    nb::object prompt;  ///< for `_on_beat`; empty unless the tick beats
};

Tick tick(nb::handle self) {
    if (runner_of(self).paused)
        return {};
    if (common::truth(common::call_method(self, in_quiet_hours_name))) {
        logger.debug("Skipping heartbeat \xE2\x80\x94 quiet hours");
        if (runner_of(self).reports_timing())
            note_skip(runner_of(self), "quiet_hours");
        return {};
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
        return {std::move(event), nb::object()};
    }

    if (agent_busy(runner)) {
        ++runner.skipped_beats;
        note_skip(runner, "busy");
        logger.info("Heartbeat skipped \xE2\x80\x94 the agent is busy (%d skipped)",
                    runner.skipped_beats);
        nb::dict event;
        event[type_key.get()] = "heartbeat_skipped";
        event[reason_key.get()] = "busy";
        event[skipped_key.get()] = runner.skipped_beats;
        return {std::move(event), nb::object()};
    }

    nb::object prompt = choose_prompt(runner.config());
    if (runner.consecutive_beats == std::numeric_limits<std::int64_t>::max())
        throw std::overflow_error("too many consecutive heartbeats to count");
    ++runner.consecutive_beats;
    logger.info("Heartbeat #%d firing", runner.consecutive_beats);
    if (runner.reports_timing())
        runner.last_beat = wall_clock();
    nb::dict event;
    event[type_key.get()] = "heartbeat";
    event[beat_key.get()] = runner.consecutive_beats;
    event[max_key.get()] = common::attr(runner.config(), max_consecutive);
    return {std::move(event), std::move(prompt)};
}

/// `_on_event(event)` to await, or nothing when no `_on_event` is set.
nb::object event_call(nb::handle self, nb::object event) {
    nb::object on_event = runner_of(self).on_event();
    if (on_event.is_none())
        return {};
    return on_event(std::move(event));
}

/// `asyncio.sleep(interval_seconds)`, the interval read now; with the
/// opt-in settings, doubled after each failed beat up to `error_backoff`,
/// and `jitter_seconds` at most added.
bridge::Sleep sleep_interval(nb::handle self) {
    HeartbeatRunner &runner = runner_of(self);
    nb::object interval = common::attr(runner.config(), interval_seconds);
    if (!runner.reports_timing())
        return bridge::sleep_for(std::move(interval));
    Options options = read_options(runner.config());
    bool backing_off = options.error_backoff && runner.failed_beats > 0;
    if (!backing_off && !options.jitter) {
        double seconds = PyFloat_AsDouble(interval.ptr());
        if (seconds == -1.0 && PyErr_Occurred())
            PyErr_Clear();  // asyncio.sleep gives its own error for it
        else
            runner.next_beat = wall_clock() + seconds;
        return bridge::sleep_for(std::move(interval));
    }
    double delay = nb::cast<double>(common::expect_float(interval, "interval_seconds"));
    if (backing_off) {
        double factor = std::ldexp(1.0, static_cast<int>(std::min<std::int64_t>(runner.failed_beats, 60)));
        delay = std::max(delay, std::min(delay * factor, *options.error_backoff));
    }
    if (options.jitter && *options.jitter > 0) {
        nb::object drawn = common::module_attr(random_module, uniform)(0.0, *options.jitter);
        delay += nb::cast<double>(drawn);
    }
    runner.next_beat = wall_clock() + delay;
    return bridge::sleep_for(nb::float_(delay));
}

} // namespace

// The whole tick is awaited in this one frame, each await taken as an
// outcome: the cancellation that `stop()` delivers ends the loop without a
// C++ exception, and a beat costs no coroutine objects of its own.
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
            Tick work = tick(self);
            bridge::Local<> prompt = std::move(work.prompt);
            if (work.event.is_valid()) {
                if (nb::object sending = event_call(self, std::move(work.event))) {
                    bridge::Outcome sent = co_await bridge::outcome(std::move(sending));
                    if (!sent) {
                        failure.emplace(sent.take_error());
                        break;
                    }
                }
            }
            if (!prompt.is_valid())
                continue;

            // `_on_beat(prompt)`: its failures are logged and end here (the
            // beat counts all the same); cancellation and other errors that
            // are not an `Exception` end the loop.
            std::optional<nb::python_error> agent_failure;
            try {
                nb::object call = runner_of(self).on_beat()(prompt);
                prompt.reset();
                bridge::Outcome answered = co_await bridge::outcome(std::move(call));
                if (!answered)
                    agent_failure.emplace(answered.take_error());
                else
                    runner_of(self).failed_beats = 0;
            } catch (nb::python_error &e) {
                agent_failure.emplace(std::move(e));
            }
            if (agent_failure) {
                if (!common::is_exception(*agent_failure)) {
                    failure.emplace(std::move(*agent_failure));
                    break;
                }
                logger.exception("Heartbeat agent call failed", agent_failure->value());
                ++runner_of(self).failed_beats;
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
