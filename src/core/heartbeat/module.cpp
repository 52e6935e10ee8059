// ombrel.core.heartbeat: what Python sees.
#include "core/heartbeat/prompt.h"
#include "core/heartbeat/runner.h"

#include "bridge/binding.h"
#include "common/gc.h"

#include <string>

namespace nb = nanobind;
namespace bridge = ombrel::bridge;
namespace common = ombrel::common;
namespace hb = ombrel::heartbeat;
using hb::HeartbeatRunner;
using namespace nb::literals;
using bridge::param;
using bridge::returns;

namespace {

// The runner holds the host's callables, its task and its configuration,
// which may all refer back to it (runner -> task -> coroutine -> runner):
// it takes part in garbage collection (common::gc_slots) so that such cycles
// are collected.

/// A read-write attribute over one of the runner's object fields.
template <nb::object HeartbeatRunner::*Field, nb::object (HeartbeatRunner::*Get)() const>
void object_field(nb::class_<HeartbeatRunner> &cls, const char *name,
                  const char *type, const char *doc) {
    std::string getter = std::string("def ") + name + "(self, /) -> " + type;
    std::string setter = std::string("def ") + name + "(self, value: " + type + ", /) -> None";
    cls.def_prop_rw(
        name, [](const HeartbeatRunner &self) { return (self.*Get)(); },
        [](HeartbeatRunner &self, nb::object value) { self.*Field = std::move(value); },
        nb::for_getter(nb::sig(getter.c_str())),
        nb::for_setter(nb::sig(setter.c_str())),
        nb::for_setter("value"_a.none()), doc);
}

} // namespace

NB_MODULE(heartbeat, m) {
    m.doc() = "Heartbeat: periodically wakes the agent so that it keeps working "
              "without the user, outside quiet hours and up to a limit of "
              "consecutive beats without user interaction.";
    bridge::register_coroutine_type(m);

    m.attr("DEFAULT_HEARTBEAT_PROMPT") = hb::default_heartbeat_prompt;

    nb::class_<HeartbeatRunner> cls(
        m, "HeartbeatRunner", nb::type_slots(common::gc_slots<HeartbeatRunner>()), nb::is_weak_referenceable(),
        "Background async task that sends periodic heartbeats to the agent.");

    cls.def(nb::init<nb::object, nb::object, nb::object, nb::object>(),
            "config"_a.none(), "on_beat"_a.none(), "on_event"_a.none() = nb::none(), nb::kw_only(),
            "skip_if_busy"_a.none() = nb::none(),
            nb::sig("def __init__(self, config: ombrel.config.HeartbeatConfig, "
                    "on_beat: collections.abc.Callable[[str], collections.abc.Awaitable[typing.Any]], "
                    "on_event: collections.abc.Callable[[dict[str, typing.Any]], "
                    "collections.abc.Awaitable[None]] | None = None, *, "
                    "skip_if_busy: collections.abc.Callable[[], object] | None = None) -> None"),
            R"doc(A runner that is not started yet.

Args:
    config: The heartbeat's settings (interval_seconds, max_consecutive,
        quiet_hours_start, quiet_hours_end, prompt, enabled), read at
        each use.
    on_beat: Awaited with the prompt at each beat: hands it to the agent and
        returns once the agent has dealt with it.
    on_event: Awaited with each event: {"type": "heartbeat", "beat", "max"}
        at a beat, {"type": "heartbeat_paused", "reason":
        "max_consecutive_reached", "count"} when the runner pauses itself,
        {"type": "heartbeat_skipped", "reason": "busy", "skipped"} when a
        beat is skipped for a busy agent.
    skip_if_busy: Called (without arguments) when a beat falls due; a true
        answer skips that beat, which then does not count toward
        max_consecutive. A check that raises lets the beat go ahead (the
        error is logged once until the check answers again).

The configuration may also set, read at each use (absent or None: off):
error_backoff (after a failed agent call the next wait doubles, up to this
many seconds; back to the interval after a success), jitter_seconds (up to
this many seconds added to each wait) and timezone (the IANA zone whose
time of day quiet hours are read in). Unusable values are refused by
start(). With any of these, or skip_if_busy, status() also reports
last_beat, next_beat, skipped_beats, last_skip and last_skip_reason.)doc");

    object_field<&HeartbeatRunner::config_, &HeartbeatRunner::config>(
        cls, "_config", "ombrel.config.HeartbeatConfig", "The current configuration.");
    object_field<&HeartbeatRunner::on_beat_, &HeartbeatRunner::on_beat>(
        cls, "_on_beat", "collections.abc.Callable[[str], collections.abc.Awaitable[typing.Any]]",
        "Hands a prompt to the agent and waits until the agent has dealt with it.");
    object_field<&HeartbeatRunner::on_event_, &HeartbeatRunner::on_event>(
        cls, "_on_event",
        "collections.abc.Callable[[dict[str, typing.Any]], collections.abc.Awaitable[None]] | None",
        "Receives the runner's events, or None.");
    object_field<&HeartbeatRunner::task_, &HeartbeatRunner::task>(
        cls, "_task", "asyncio.Task[None] | None", "The running loop's task, or None.");
    object_field<&HeartbeatRunner::stop_event_, &HeartbeatRunner::stop_event>(
        cls, "_stop_event", "asyncio.Event", "Set by `stop()` to end the loop.");
    object_field<&HeartbeatRunner::skip_if_busy_, &HeartbeatRunner::skip_if_busy>(
        cls, "_skip_if_busy", "collections.abc.Callable[[], object] | None",
        "Consulted when a beat falls due; a true answer skips the beat.");
    cls.def_rw("_consecutive_beats", &HeartbeatRunner::consecutive_beats,
               "Beats sent since the last real user message.")
        .def_rw("_paused", &HeartbeatRunner::paused, "While true, ticks send nothing.");

    cls.def_prop_ro("running", &HeartbeatRunner::running,
                    "True while the loop task exists and has not finished.")
        .def_prop_ro("paused", [](const HeartbeatRunner &self) { return self.paused; },
                     "True while paused by `pause()` or by the safety valve.")
        .def_prop_ro("consecutive_beats",
                     [](const HeartbeatRunner &self) { return self.consecutive_beats; },
                     "Beats sent since the last real user message.");

    cls.def("reset_consecutive", &HeartbeatRunner::reset_consecutive,
            "Call this whenever the user sends a real message.");
    bridge::def_function<&hb::start>(cls, "start", returns("None"), R"doc(Start the loop task unless it is running.

The task is named "heartbeat". Neither the count of beats nor the paused
state is reset. Must be called while the event loop runs.)doc");
    cls.def("stop", &HeartbeatRunner::stop, R"doc(Stop the loop.

Its task is cancelled at once (an agent call in progress with it) and
`_task` becomes None without waiting for the task to end.)doc")
        .def("pause", &HeartbeatRunner::pause,
             "Send nothing until `resume()`; the loop keeps ticking.")
        .def("resume", &HeartbeatRunner::resume,
             "Send beats again. The count of beats is not reset.");
    bridge::def_function<&hb::update_config>(cls, "update_config", returns("None"),
                                             param("config", "ombrel.config.HeartbeatConfig"),
                                             R"doc(Replace the configuration.

A running loop is restarted, or stopped when the new configuration is
disabled; a stopped one stays stopped.

Args:
    config: The new settings.)doc");
    cls.def("status", &HeartbeatRunner::status,
            nb::sig("def status(self) -> dict[str, typing.Any]"),
            R"doc(The configuration and the state of the runner.

Returns:
    A new dict with "enabled", "running", "paused", "interval_seconds",
    "consecutive_beats", "max_consecutive", "quiet_hours_start" and
    "quiet_hours_end"; with skip_if_busy or an opt-in setting of the
    configuration also "last_beat" and "next_beat" (time.time() values or
    None), "skipped_beats", "last_skip" and "last_skip_reason" ("busy" or
    "quiet_hours").)doc")
        .def("_in_quiet_hours", &HeartbeatRunner::in_quiet_hours,
             "Whether the local time of day lies in the configured quiet hours.");
    bridge::def_coroutine<&hb::run_loop>(cls, "_loop", returns("None"),
                                         "The coroutine that the loop task runs until stopped or "
                                         "cancelled.");
}
