#include "runner.h"

#include "log.h"
#include "quiet_hours.h"

#include "bridge/bridge.h"

namespace ombrel::heartbeat {

using namespace nb::literals;

HeartbeatRunner::HeartbeatRunner(nb::object config, nb::object on_beat,
                                 nb::object on_event)
    : config_(std::move(config)), on_beat_(std::move(on_beat)),
      on_event_(std::move(on_event)), task_(nb::none()),
      stop_event_(bridge::asyncio().attr("Event")()) {}

bool HeartbeatRunner::running() const {
    nb::object task = this->task();
    return !task.is_none() && !common::truth(task.attr("done")());
}

bool HeartbeatRunner::stop_requested() const {
    return common::truth(stop_event().attr("is_set")());
}

void HeartbeatRunner::stop() {
    stop_event().attr("set")();
    nb::object task = this->task();
    if (common::truth(task) && !common::truth(task.attr("done")()))
        task.attr("cancel")();
    task_ = nb::none();
    logger.info("Heartbeat stopped");
}

void HeartbeatRunner::pause() {
    paused = true;
    logger.info("Heartbeat paused");
}

void HeartbeatRunner::resume() {
    paused = false;
    logger.info("Heartbeat resumed");
}

nb::dict HeartbeatRunner::status() const {
    nb::object config = this->config();
    nb::dict status;
    status["enabled"] = config.attr("enabled");
    status["running"] = running();
    status["paused"] = paused;
    status["interval_seconds"] = config.attr("interval_seconds");
    status["consecutive_beats"] = consecutive_beats;
    status["max_consecutive"] = config.attr("max_consecutive");
    status["quiet_hours_start"] = config.attr("quiet_hours_start");
    status["quiet_hours_end"] = config.attr("quiet_hours_end");
    return status;
}

bool HeartbeatRunner::in_quiet_hours() const {
    nb::object config = this->config();
    nb::object start = config.attr("quiet_hours_start");
    nb::object end = config.attr("quiet_hours_end");
    return in_quiet_period(start, end, local_time_of_day());
}

int HeartbeatRunner::traverse(visitproc visit, void *arg) const {
    Py_VISIT(config_.ptr());
    Py_VISIT(on_beat_.ptr());
    Py_VISIT(on_event_.ptr());
    Py_VISIT(task_.ptr());
    Py_VISIT(stop_event_.ptr());
    return 0;
}

void HeartbeatRunner::clear() {
    // Moved out first so that finalizers run by the releases see the
    // fields already empty.
    nb::object config = std::move(config_), on_beat = std::move(on_beat_),
               on_event = std::move(on_event_), task = std::move(task_),
               stop_event = std::move(stop_event_);
}

void start(nb::handle self) {
    HeartbeatRunner &runner = nb::cast<HeartbeatRunner &>(self);
    if (runner.running())
        return;
    runner.stop_event().attr("clear")();

    nb::module_ asyncio = bridge::asyncio();
    // Without a running loop, fail here with the loop's own error, before a
    // coroutine exists that would never be awaited.
    asyncio.attr("get_running_loop")();
    nb::object coroutine = self.attr("_loop")();
    nb::object task;
    try {
        task = asyncio.attr("create_task")(coroutine, "name"_a = "heartbeat");
    } catch (nb::python_error &) {
        if (nb::hasattr(coroutine, "close")) {
            try {
                coroutine.attr("close")();
            } catch (nb::python_error &ignored) {
                ignored.discard_as_unraisable(coroutine);
            }
        }
        throw;
    }
    runner.task_ = task;

    nb::object config = runner.config();
    logger.info("Heartbeat started (interval=%ds, max_consecutive=%d)",
                config.attr("interval_seconds"), config.attr("max_consecutive"));
}

void update_config(nb::handle self, nb::object config) {
    HeartbeatRunner &runner = nb::cast<HeartbeatRunner &>(self);
    runner.config_ = config;
    if (!runner.running())
        return;
    self.attr("stop")();
    if (common::truth(config.attr("enabled")))
        self.attr("start")();
}

} // namespace ombrel::heartbeat
