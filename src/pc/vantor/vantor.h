// The desktop controller: its state and the functions behind its methods.
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

#include <cstddef>
#include <mutex>
#include <type_traits>
#include <utility>

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
        return 0;
    }
    void clear() { ref_map.reset(); }
};

/// The controller behind a Python `Vantor` object (TypeError otherwise).
Vantor &state(nb::handle self);

extern const bridge::Logger logger;

// Module namespace (module.cpp) -------------------------------------------

/// A module attribute, looked up now (`SYSTEM`, `INTERACTIVE_TYPES`, ...).
inline nb::object module_attr(const char *name) {
    return common::module_attr("ombrel.pc.vantor", name);
}

// Core (controller.cpp) ---------------------------------------------------

void ensure_init(nb::object self);
void init_windows(nb::object self);
void init_macos(nb::object self);
void init_linux(nb::object self);

Coro<> snapshot(nb::object self, nb::object window_title, nb::object max_depth);
Coro<> click_ref(nb::object self, nb::object ref, nb::object double_click);
Coro<> type_ref(nb::object self, nb::object ref, nb::object text, nb::object clear_first,
                nb::object press_enter);
Coro<> select_ref(nb::object self, nb::object ref, nb::object value);
Coro<> toggle_ref(nb::object self, nb::object ref);
Coro<> get_focused_window(nb::object self);
Coro<> list_windows(nb::object self);
Coro<> focus_window(nb::object self, nb::object title);
Coro<> scroll_window(nb::object self, nb::object direction, nb::object amount);
Coro<> press_key(nb::object self, nb::object key);

// Windows snapshot (windows_snapshot.cpp) ---------------------------------

Coro<> snapshot_windows(nb::object self, nb::object window_title, nb::object max_depth);
nb::object snapshot_sync(nb::object self, nb::object window_title, nb::object max_depth);
nb::object snapshot_pywinauto(nb::object self, nb::object window_title, nb::object max_depth);
nb::object snapshot_uiautomation(nb::object self, nb::object window_title,
                                 nb::object max_depth);
/// The walkers for a caller that hands in its own list of lines.
void walk_element_pywinauto(nb::object self, nb::object element, nb::list lines,
                            nb::object depth, nb::object max_depth);
void walk_element_uiautomation(nb::object self, nb::object element, nb::list lines,
                               nb::object depth, nb::object max_depth);

// Windows element actions (windows_elements.cpp) --------------------------

Coro<> click_ref_windows(nb::object self, nb::object ref, nb::object elem_info,
                         bool double_click);
Coro<> type_ref_windows(nb::object self, nb::object ref, nb::object elem_info,
                        nb::object text, bool clear_first, bool press_enter);
Coro<> select_ref_windows(nb::object self, nb::object ref, nb::object elem_info,
                          nb::object value);
Coro<> toggle_ref_windows(nb::object self, nb::object ref, nb::object elem_info);
Coro<> get_element_center(nb::object self, nb::object element, nb::object backend);
void click_element_sync(nb::object element, nb::object backend, bool double_click);
void type_element_sync(nb::object element, nb::object backend, nb::object text,
                       bool clear_first, bool press_enter);
void select_element_sync(nb::object element, nb::object backend, nb::object value);
void toggle_element_sync(nb::object element, nb::object backend);
nb::object element_center_sync(nb::object element, nb::object backend);

// Windows window operations (windows_window_ops.cpp) ----------------------

Coro<> get_focused_window_windows(nb::object self);
nb::object get_focused_window_sync(nb::object self);
Coro<> list_windows_windows(nb::object self);
nb::object list_windows_sync(nb::object self);
Coro<> focus_window_windows(nb::object self, nb::object title);
nb::object focus_window_sync(nb::object self, nb::object title);

// Backends still to come (pending_backends.cpp) ---------------------------

Coro<> snapshot_macos(nb::object self, nb::object window_title, nb::object max_depth);
Coro<> click_ref_macos(nb::object self, nb::object ref, nb::object elem_info,
                       nb::object double_click);
Coro<> type_ref_macos(nb::object self, nb::object ref, nb::object elem_info, nb::object text,
                      nb::object clear_first, nb::object press_enter);
Coro<> get_focused_window_macos(nb::object self);
Coro<> list_windows_macos(nb::object self);
Coro<> focus_window_macos(nb::object self, nb::object title);
Coro<> snapshot_linux(nb::object self, nb::object window_title, nb::object max_depth);
Coro<> click_ref_linux(nb::object self, nb::object ref, nb::object elem_info,
                       nb::object double_click);
Coro<> get_focused_window_linux(nb::object self);
Coro<> list_windows_linux(nb::object self);
Coro<> focus_window_linux(nb::object self, nb::object title);
/// `_macos_keycode(key)`.
long macos_keycode(nb::str key);

} // namespace ombrel::vantor
