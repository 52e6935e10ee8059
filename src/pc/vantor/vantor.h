// The desktop controller's state: what one `Vantor` object holds, the
// module's logger and its module-level names.
//
// Every function that stands for a method of `Vantor` takes the controller
// as an owning `nb::object self`: coroutines and executor functions outlive
// the call that started them.
//
// Work goes to the executor as a plain function with its arguments (see
// `bridge::run_in_executor`), not as a lambda, so the garbage collector sees
// the arguments.
#pragma once

#include "bridge/bridge.h"
#include "common/common.h"
#include "pc/vantor/py.h"

#include <cstddef>
#include <mutex>

namespace ombrel::vantor {

namespace nb = nanobind;
using bridge::Coro;

/// The C++ state of one `Vantor` object.
struct Vantor {
    /// `_ref_map`: the ref table of the latest snapshot (any mapping a host
    /// puts there is used as one).
    nb::object ref_map;
    /// `_ref_counter`: the last ref handed out.
    long long ref_counter = 0;
    bool uia_available = false;
    bool pywinauto_available = false;
    bool pyautogui_available = false;
    bool macos_available = false;
    bool linux_atspi_available = false;
    bool linux_xdotool_available = false;
    bool initialized = false;
    /// `_ref_paths`, Linux: ref -> the path of its element from its window
    /// (a tuple of child indices), for the refs of the latest AT-SPI
    /// snapshot; empty after any other. The entries of `_ref_map` stay as
    /// they are: a subtree snapshot and the stale check find an element
    /// again by its path.
    nb::object ref_paths;
    /// `_ref_window`, Linux: the window of those paths, {"app", "window",
    /// "app_index", "window_index"}; None after any other snapshot.
    nb::object ref_window;
    /// The window ("window" of the result) and the text of the snapshot that
    /// made the ref table, set with the table (None before any).
    nb::object last_window, last_text;
    /// The texts of recent snapshots, by window (and subtree): what a diff
    /// compares with. A few windows at most, the oldest dropped first.
    nb::object previous_texts;
    /// Bytes of the latest snapshot's text: room reserved for the next one.
    std::size_t last_text_size = 0;
    /// Serialises the Windows snapshots of this controller, so that two
    /// walks never interleave their writes to the ref table.
    std::recursive_mutex walk_mutex;

    Vantor();

    /// Garbage-collector support: the ref table holds element objects,
    /// which may well lead back to the controller.
    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(ref_map.ptr());
        Py_VISIT(ref_paths.ptr());
        Py_VISIT(ref_window.ptr());
        Py_VISIT(last_window.ptr());
        Py_VISIT(last_text.ptr());
        Py_VISIT(previous_texts.ptr());
        return 0;
    }
    void clear() {
        ref_map.reset();
        ref_paths.reset();
        ref_window.reset();
        last_window.reset();
        last_text.reset();
        previous_texts.reset();
    }
};

/// The controller behind a Python `Vantor` object (TypeError otherwise).
Vantor &state(nb::handle self);

/// Empties the ref table: a fresh dict, the counter back at 0, no Linux
/// paths. Returns the new table, which the snapshot that asked for it fills.
nb::dict reset_ref_table(Vantor &controller);

/// Notes the snapshot whose refs the table now holds: its window and text.
void remember_snapshot(Vantor &controller, nb::handle window, nb::handle text);

extern const bridge::Logger logger;

/// A module attribute, looked up now (`SYSTEM`, `INTERACTIVE_TYPES`, ...).
inline nb::object module_attr(const common::Interned &name) {
    return common::module_attr(py::names::module, name);
}

} // namespace ombrel::vantor
