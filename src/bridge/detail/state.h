// The bridge's process-wide state, gathered in one place, as an extension
// module keeps its module state. Every module links its own copy of the
// bridge, so each module has its own: its own coroutine types in its own
// nanobind domain, its own timer queues.
//
// Everything here is made at first use (or at registration) and kept for the
// life of the process; nothing holds a reference that must be released.
#pragma once

#include "common/interned.h"
#include "common/python.h"

#include <Python.h>

namespace ombrel::bridge::detail {

struct TimerQueue;

struct State {
    // -- The coroutine types (set by `register_coroutine_type`) -------------

    /// `_Coroutine`, the Python object of every bridge coroutine; compared
    /// by identity on the hot paths (awaiting one as it is).
    PyTypeObject *coroutine_type = nullptr;
    /// `_CoroutineAwait`, what `coroutine.__await__()` gives.
    PyTypeObject *await_iterator_type = nullptr;

    // -- The shared sleep timer (`sleep_for`) --------------------------------

    /// `_SleepTimers`, the type of a loop's timer queue; made at the first
    /// sleep that takes the shared timer. The queue is its own `call_at`
    /// callback.
    PyTypeObject *timer_queue_type = nullptr;
    /// The queue last used (its loop is the one most likely asked for next),
    /// without a reference of its own: the queue clears this as it goes.
    TimerQueue *recent_timer_queue = nullptr;

    // -- Modules --------------------------------------------------------------

    /// `asyncio`, imported once, as a module-level `import asyncio` binds it
    /// (its attributes are read at each use).
    PyObject *asyncio = nullptr;
    /// `asyncio.tasks`, whose `sleep` is asyncio's own.
    common::ImportedName asyncio_tasks{"asyncio.tasks"};

    // -- Interned names of attributes and methods -----------------------------

    struct Names {
        // asyncio and its loops, futures and timer handles
        common::Interned sleep{"sleep"}, cancelled_error{"CancelledError"},
            get_running_loop{"get_running_loop"}, time{"time"}, call_at{"call_at"},
            clock_resolution{"_clock_resolution"}, create_future{"create_future"},
            cancel{"cancel"}, done{"done"}, set_result{"set_result"};
        // what a coroutine's await is driven and closed through
        common::Interned close{"close"}, throw_{"throw"}, value{"value"};
        // loggers
        common::Interned is_enabled_for{"isEnabledFor"}, debug{"debug"}, info{"info"},
            warning{"warning"}, error{"error"}, exception{"exception"}, exc_info{"exc_info"};
    } names;
};

/// This module's bridge state.
inline State &state() noexcept {
    // Constant-initialized: no guard on the hot paths that read it.
    static constinit State instance;
    return instance;
}

} // namespace ombrel::bridge::detail
