// HeartbeatRunner: one asyncio task that wakes the agent at an interval.
#pragma once

#include "bridge/coroutine.h"

#include <cstdint>

namespace ombrel::heartbeat {

namespace nb = nanobind;

/// The runner's state. Python sees each field under its own name (`_config`,
/// `_on_beat`, ...); the methods that need the Python object itself (to call
/// overridable methods such as `_loop`) take it as `self`.
class HeartbeatRunner {
public:
    HeartbeatRunner(nb::object config, nb::object on_beat, nb::object on_event);

    // Fields. The garbage collector may empty the object fields of an
    // unreachable runner; the accessors below then give None.
    nb::object config_;
    nb::object on_beat_;
    nb::object on_event_;
    nb::object task_;
    nb::object stop_event_;
    std::int64_t consecutive_beats = 0;
    bool paused = false;

    nb::object config() const { return or_none(config_); }
    nb::object on_beat() const { return or_none(on_beat_); }
    nb::object on_event() const { return or_none(on_event_); }
    nb::object task() const { return or_none(task_); }
    nb::object stop_event() const { return or_none(stop_event_); }

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
