#include "core/heartbeat/runner.h"

#include "core/heartbeat/log.h"
#include "core/heartbeat/options.h"
#include "core/heartbeat/quiet_hours.h"

#include "bridge/bridge.h"

namespace ombrel::heartbeat {

using namespace nb::literals;
using common::Interned;

namespace names {
static const Interned done("done"), is_set("is_set"), set("set"), clear("clear"),
    cancel("cancel"), get_running_loop("get_running_loop"), create_task("create_task"),
    loop("_loop"), close("close"), interval_seconds("interval_seconds"),
    max_consecutive("max_consecutive");
} // namespace names

HeartbeatRunner::HeartbeatRunner(nb::object config, nb::object on_beat, nb::object on_event,
                                 nb::object skip_if_busy)
    : config_(std::move(config)), on_beat_(std::move(on_beat)),
      on_event_(std::move(on_event)), task_(nb::none()),
      stop_event_(bridge::asyncio().attr("Event")()), skip_if_busy_(std::move(skip_if_busy)) {
    if (!skip_if_busy_.is_none() && !PyCallable_Check(skip_if_busy_.ptr()))
        common::raise_error(PyExc_TypeError, "skip_if_busy must be callable or None, not %s",
                            common::type_name_of(skip_if_busy_.ptr()));
}

bool HeartbeatRunner::reports_timing() const {
    return !skip_if_busy().is_none() || sets_options(config());
}

bool HeartbeatRunner::running() const {
    nb::object task = this->task();
    return !task.is_none() && !common::truth(common::call_method(task, names::done));
}

bool HeartbeatRunner::stop_requested() const {
    return common::truth(common::call_method(stop_event(), names::is_set));
}

void HeartbeatRunner::stop() {
    common::call_method(stop_event(), names::set);
    nb::object task = this->task();
    if (common::truth(task) && !common::truth(common::call_method(task, names::done)))
        common::call_method(task, names::cancel);
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
    if (!reports_timing())
        return status;
    auto time_or_none = [](const std::optional<double> &t) {
        return t ? nb::object(nb::float_(*t)) : nb::none();
    };
    status["last_beat"] = time_or_none(last_beat);
    status["next_beat"] = time_or_none(running() ? next_beat : std::nullopt);
    status["skipped_beats"] = skipped_beats;
    status["last_skip"] = time_or_none(last_skip);
    status["last_skip_reason"] = last_skip_reason ? nb::object(nb::str(last_skip_reason)) : nb::none();
    return status;
}

bool HeartbeatRunner::in_quiet_hours() const {
    nb::object config = this->config();
    nb::object start = config.attr("quiet_hours_start");
    nb::object end = config.attr("quiet_hours_end");
    // The clock is read only when there is a quiet period to compare with.
    if (!common::truth(start) || !common::truth(end))
        return false;
    return in_quiet_period(start, end, time_of_day(read_options(config).timezone));
}

int HeartbeatRunner::traverse(visitproc visit, void *arg) const {
    Py_VISIT(config_.ptr());
    Py_VISIT(on_beat_.ptr());
    Py_VISIT(on_event_.ptr());
    Py_VISIT(task_.ptr());
    Py_VISIT(stop_event_.ptr());
    Py_VISIT(skip_if_busy_.ptr());
    return 0;
}

void HeartbeatRunner::clear() {
    // Moved out first so that finalizers run by the releases see the
    // fields already empty.
    nb::object config = std::move(config_), on_beat = std::move(on_beat_),
               on_event = std::move(on_event_), task = std::move(task_),
               stop_event = std::move(stop_event_), skip_if_busy = std::move(skip_if_busy_);
}

/// `asyncio.create_task(coroutine, name="heartbeat")`
static nb::object create_task(nb::handle asyncio, nb::handle coroutine) {
    static PyObject *keywords = nullptr;
    if (!keywords)
        keywords = nb::make_tuple(common::intern("name")).release().ptr();
    static const Interned task_name("heartbeat");
    PyObject *args[] = {asyncio.ptr(), coroutine.ptr(), task_name.get().ptr()};
    return common::checked(PyObject_VectorcallMethod(
        names::create_task.get().ptr(), args, 2, keywords));
}

void start(nb::handle self) {
    HeartbeatRunner &runner = nb::cast<HeartbeatRunner &>(self);
    if (runner.running())
        return;
    // Unusable settings are refused before anything changes.
    read_options(runner.config());
    common::call_method(runner.stop_event(), names::clear);

    nb::module_ asyncio = bridge::asyncio();
    // Without a running loop, fail here with the loop's own error, before a
    // coroutine exists that would never be awaited.
    common::call_method(asyncio, names::get_running_loop);
    nb::object coroutine = common::call_method(self, names::loop);
    nb::object task;
    try {
        task = create_task(asyncio, coroutine);
    } catch (nb::python_error &) {
        if (nb::hasattr(coroutine, names::close.c_str())) {
            try {
                common::call_method(coroutine, names::close);
            } catch (nb::python_error &ignored) {
                ignored.discard_as_unraisable(coroutine);
            }
        }
        throw;
    }
    runner.task_ = task;

    nb::object config = runner.config();
    logger.info("Heartbeat started (interval=%ds, max_consecutive=%d)",
                common::attr(config, names::interval_seconds),
                common::attr(config, names::max_consecutive));
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
