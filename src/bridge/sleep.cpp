#include "bridge/sleep.h"

#include "bridge/asyncio.h"
#include "bridge/detail/state.h"
#include "bridge/errors.h"

#include "common/python.h"

#include <cmath>
#include <exception>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace ombrel::bridge {

namespace detail {

/// The sleeps of one event loop that wait on the shared timer: futures by
/// (deadline, arrival), and the one `loop.call_at` handle armed for the
/// earliest deadline. The loop's handle holds the queue (the queue is its
/// callback); so does every sleep in it.
struct TimerQueue {
    PyObject_HEAD
    nb::object loop;
    double resolution = 0;
    std::map<std::pair<double, std::uint64_t>, nb::object> sleeps;
    std::uint64_t arrivals = 0;
    nb::object armed;  ///< the TimerHandle, while one is pending
    double armed_at = 0;

    void arm(double deadline);
    PyObject *fire() noexcept;
};

} // namespace detail

namespace {

using detail::state;
using detail::TimerQueue;

TimerQueue *as_queue(PyObject *self) { return reinterpret_cast<TimerQueue *>(self); }

/// `float(value)`, as the loop's clock and timers take it.
double as_double(nb::handle value) {
    double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return result;
}

/// `loop.time()`
double loop_time(nb::handle loop) {
    return as_double(common::call_method(loop, state().names.time));
}

} // namespace

namespace detail {

void TimerQueue::arm(double deadline) {
    if (armed.is_valid()) {
        if (armed_at <= deadline)
            return;
        common::call_method(armed, state().names.cancel);
        armed.reset();
    }
    nb::object when = nb::float_(deadline);
    PyObject *args[] = {loop.ptr(), when.ptr(), reinterpret_cast<PyObject *>(this)};
    armed = common::checked(PyObject_VectorcallMethod(
        state().names.call_at.get().ptr(), args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    armed_at = deadline;
}

/// The armed handle's callback: every sleep that is due now gets its
/// result, as `asyncio.sleep`'s timer gives it (unless cancelled), in the
/// order of their deadlines; then the timer is armed for the next one.
PyObject *TimerQueue::fire() noexcept {
    try {
        armed.reset();
        if (!loop.is_valid())
            Py_RETURN_NONE;
        nb::object keep_alive = nb::borrow(reinterpret_cast<PyObject *>(this));
        // The loop calls this once `armed_at` is due; the clock is read only
        // when later sleeps might be due as well.
        double fired_at = armed_at;
        std::vector<nb::object> woken;
        auto wake_until = [&](double due) {
            while (!sleeps.empty() && sleeps.begin()->first.first <= due) {
                woken.push_back(std::move(sleeps.begin()->second));
                sleeps.erase(sleeps.begin());
            }
        };
        wake_until(fired_at);
        if (!sleeps.empty()) {
            double now = loop_time(loop);
            // Due as the loop counts it: before now plus its clock's resolution.
            wake_until(std::nextafter(now + resolution, -INFINITY));
        }
        // Results are set after the queue is consistent: a loop of the
        // host's may run code of its own there.
        for (nb::object &future : woken) {
            if (future.is_valid() &&
                !common::truth(common::call_method(future, state().names.done)))
                common::call_method(future, state().names.set_result, Py_None);
        }
        if (!sleeps.empty())
            arm(sleeps.begin()->first.first);
        Py_RETURN_NONE;
    } catch (...) {
        restore_error(std::current_exception());
        return nullptr;
    }
}

} // namespace detail

namespace {

PyObject *queue_call(PyObject *self, PyObject *, PyObject *) { return as_queue(self)->fire(); }

int queue_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    TimerQueue *queue = as_queue(self);
    Py_VISIT(queue->loop.ptr());
    Py_VISIT(queue->armed.ptr());
    for (auto &sleep : queue->sleeps)
        Py_VISIT(sleep.second.ptr());
    return 0;
}

int queue_clear(PyObject *self) {
    TimerQueue *queue = as_queue(self);
    TimerQueue *&recent = state().recent_timer_queue;
    if (recent == queue)
        recent = nullptr;
    // Moved out first: releasing them may run code that reaches the queue.
    nb::object loop = std::move(queue->loop), armed = std::move(queue->armed);
    auto sleeps = std::move(queue->sleeps);
    queue->sleeps.clear();
    return 0;
}

void queue_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    queue_clear(self);
    as_queue(self)->~TimerQueue();
    common::type_free(type, self);
    Py_DECREF(type);
}

PyTypeObject *timer_queue_type() {
    PyTypeObject *&queue_type = state().timer_queue_type;
    if (queue_type)
        return queue_type;
    static PyType_Slot slots[] = {
        {Py_tp_call, reinterpret_cast<void *>(&queue_call)},
        {Py_tp_traverse, reinterpret_cast<void *>(&queue_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(&queue_clear)},
        {Py_tp_dealloc, reinterpret_cast<void *>(&queue_dealloc)},
        {0, nullptr},
    };
    static PyType_Spec spec = {"ombrel._SleepTimers", sizeof(TimerQueue), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                                   Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               slots};
    queue_type = reinterpret_cast<PyTypeObject *>(common::checked(PyType_FromSpec(&spec)).release().ptr());
    return queue_type;
}

/// The timer queue of `loop`, made on first use.
nb::object queue_of(nb::handle loop) {
    TimerQueue *&recent = state().recent_timer_queue;
    if (recent && recent->loop.ptr() == loop.ptr())
        return nb::borrow(reinterpret_cast<PyObject *>(recent));
    PyTypeObject *type = timer_queue_type();
    PyObject *made = common::type_alloc(type);
    if (!made)
        throw nb::python_error();
    // The type's allocator gave zeroed memory: construct the members in it.
    TimerQueue *queue = as_queue(made);
    new (&queue->loop) nb::object(nb::borrow(loop));
    new (&queue->sleeps) decltype(queue->sleeps)();
    new (&queue->armed) nb::object();
    queue->arrivals = 0;
    queue->armed_at = 0;
    nb::object owner = nb::steal(made);
    queue->resolution = as_double(common::attr_or(loop, state().names.clock_resolution, nb::float_(0.0)));
    recent = queue;
    return owner;
}

/// Whether `current`, what `asyncio.sleep` holds now, is asyncio's own
/// sleep as its `asyncio.tasks` module defines it. Anything else found there
/// (the host's, a test's, put in place before or after our first sleep) is
/// awaited instead of the shared timer.
bool is_asyncio_sleep(nb::handle current) {
    return current.ptr() == common::attr(state().asyncio_tasks.get(), state().names.sleep).ptr();
}

/// The delay when the shared timer serves it: an exact float or int that is
/// positive and finite.
std::optional<double> timer_delay(nb::handle seconds) {
    double delay;
    if (PyFloat_CheckExact(seconds.ptr())) {
        delay = common::float_value(seconds.ptr());
    } else if (PyLong_CheckExact(seconds.ptr())) {
        delay = PyLong_AsDouble(seconds.ptr());
        if (delay == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return std::nullopt;
        }
    } else {
        return std::nullopt;
    }
    if (!(delay > 0) || std::isinf(delay))
        return std::nullopt;
    return delay;
}

} // namespace

namespace detail {

void TimerEntry::leave() noexcept {
    if (!queue_.is_valid())
        return;
    as_queue(queue_.ptr())->sleeps.erase({deadline_, id_});
    queue_.reset();
}

SleepStart start_sleep(nb::object seconds) {
    nb::module_ asyncio = bridge::asyncio();
    nb::object sleep = common::attr(asyncio, state().names.sleep);
    std::optional<double> delay = timer_delay(seconds);
    if (!delay || !is_asyncio_sleep(sleep))
        return {awaitable_iterator(common::checked(common::call_one_arg(sleep.ptr(), seconds.ptr()))),
                TimerEntry()};

    nb::object loop = common::call_method(asyncio, state().names.get_running_loop);
    nb::object queue_object = queue_of(loop);
    TimerQueue *queue = as_queue(queue_object.ptr());
    double deadline = loop_time(loop) + *delay;
    nb::object future = common::call_method(loop, state().names.create_future);
    nb::object iterator = awaitable_iterator(future);
    std::uint64_t id = ++queue->arrivals;
    queue->sleeps.emplace(std::make_pair(deadline, id), std::move(future));
    TimerEntry entry(queue_object, deadline, id);
    queue->arm(deadline);
    return {std::move(iterator), std::move(entry)};
}

} // namespace detail

} // namespace ombrel::bridge
