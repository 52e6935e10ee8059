// HeartbeatRunner: one asyncio task that wakes the agent at an interval.
#pragma once

#include "bridge/coroutine.h"

#include <cstdint>
#include <optional>

namespace ombrel::heartbeat {

namespace nb = nanobind;

/// The runner's state. Python sees each field under its own name (`_config`,
/// `_on_beat`, ...); the methods that need the Python object itself (to call
/// overridable methods such as `_loop`) take it as `self`.
class HeartbeatRunner {
public:
    HeartbeatRunner(nb::object config, nb::object on_beat, nb::object on_event,
                    nb::object skip_if_busy);

    // Fields. The garbage collector may empty the object fields of an
    // unreachable runner; the accessors below then give None.
    nb::object config_;
    nb::object on_beat_;
    nb::object on_event_;
    nb::object task_;
    nb::object stop_event_;
    /// Consulted when a beat falls due: a true answer skips the beat.
    nb::object skip_if_busy_;
    std::int64_t consecutive_beats = 0;
    bool paused = false;

    // What `status()` reports when an opt-in setting is in use.
    std::int64_t skipped_beats = 0;
    /// Beats in a row whose agent call failed (the backoff's exponent).
    std::int64_t failed_beats = 0;
    /// Wall-clock times (`time.time()`).
    std::optional<double> last_beat, next_beat, last_skip;
    const char *last_skip_reason = nullptr;
    /// The busy check failed at its last call: its next failure is not
    /// logged again.
    bool busy_check_failing = false;

    nb::object config() const { return or_none(config_); }
    nb::object on_beat() const { return or_none(on_beat_); }
    nb::object on_event() const { return or_none(on_event_); }
    nb::object task() const { return or_none(task_); }
    nb::object stop_event() const { return or_none(stop_event_); }
    nb::object skip_if_busy() const { return or_none(skip_if_busy_); }
    /// Whether `status()` reports the beats' times and skips: a busy check
    /// or an opt-in setting of the configuration is in use.
    bool reports_timing() const;

    /// A loop task exists and has not finished.
    bool running() const;
    /// `_stop_event` is set.
    bool stop_requested() const;

    void reset_consecutive() { consecutive_beats = 0; }
    void stop();
    void pause();
    void resume();
    nb::dict status() const;
    bool in_quiet_hours() const;

    /// Garbage-collector support: visits, and drops, every Python object held.
    int traverse(visitproc visit, void *arg) const;
    void clear();

private:
    static nb::object or_none(const nb::object &field) {
        return field.is_valid() ? field : nb::none();
    }
};

/// `start()`: creates the loop task named "heartbeat" unless one is running.
void start(nb::handle self);
/// `update_config(config)`: replaces the configuration; restarts a running
/// loop (or leaves it stopped when the new configuration is disabled).
void update_config(nb::handle self, nb::object config);
/// `_loop()`: the coroutine that the task runs.
bridge::Coro<void> run_loop(nb::object self);

} // namespace ombrel::heartbeat
