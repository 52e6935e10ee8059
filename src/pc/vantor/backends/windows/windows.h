// The Windows backend: UI Automation through pywinauto (preferred) or the
// uiautomation library, every library call on the loop's default executor.
// The `_sync` functions are what runs there; the coroutines submit them.
#pragma once

#include "pc/vantor/backends/backend.h"

namespace ombrel::vantor {

extern const Backend windows_backend;

// Probe (init.cpp)
void init_windows(nb::object self);

// Snapshot (snapshot.cpp)
Coro<> snapshot_windows(nb::object self, nb::object window_title, nb::object max_depth);
/// The same with the options of `SnapshotOptions` (None: none).
Coro<> snapshot_windows_options(nb::object self, nb::object window_title, nb::object max_depth,
                                nb::object options);
nb::object snapshot_sync(nb::object self, nb::object window_title, nb::object max_depth);
nb::object snapshot_pywinauto(nb::object self, nb::object window_title, nb::object max_depth);
nb::object snapshot_uiautomation(nb::object self, nb::object window_title,
                                 nb::object max_depth);
/// The walkers for a caller that hands in its own list of lines.
void walk_element_pywinauto(nb::object self, nb::object element, nb::list lines,
                            nb::object depth, nb::object max_depth);
void walk_element_uiautomation(nb::object self, nb::object element, nb::list lines,
                               nb::object depth, nb::object max_depth);

/// The stale check of a Windows entry: its element read again (kind and
/// name, as the walk reads them) on the executor.
Coro<> verify_windows(nb::object self, nb::object ref, nb::object elem_info);

// Element actions (elements.cpp)
Coro<> click_ref_windows(nb::object self, nb::object ref, nb::object elem_info,
                         nb::object double_click);
Coro<> type_ref_windows(nb::object self, nb::object ref, nb::object elem_info,
                        nb::object text, nb::object clear_first, nb::object press_enter);
Coro<> select_ref_windows(nb::object self, nb::object ref, nb::object elem_info,
                          nb::object value);
Coro<> toggle_ref_windows(nb::object self, nb::object ref, nb::object elem_info);
Coro<> get_element_center(nb::object self, nb::object element, nb::object backend);
nb::object element_center_sync(nb::object element, nb::object backend);
void click_element_sync(nb::object self, nb::object element, nb::object backend,
                        nb::object double_click);
void type_element_sync(nb::object self, nb::object element, nb::object backend,
                       nb::object text, nb::object clear_first, nb::object press_enter);
void select_element_sync(nb::object self, nb::object element, nb::object backend,
                         nb::object value);
void toggle_element_sync(nb::object self, nb::object element, nb::object backend);

// Window operations (window_ops.cpp)
Coro<> get_focused_window_windows(nb::object self);
nb::object get_focused_window_sync(nb::object self);
Coro<> list_windows_windows(nb::object self);
nb::object list_windows_sync(nb::object self);
Coro<> focus_window_windows(nb::object self, nb::object title);
nb::object focus_window_sync(nb::object self, nb::object title);

// Keys (keys.cpp)
Coro<> press_key_windows(nb::object self, nb::object key);

/// `Sync(args...)` on the executor, awaited: the body of an operation that
/// is one such call.
template <auto Sync, typename... Args> Coro<> on_executor(Args... args) {
    co_return co_await bridge::run_in_executor<Sync>(args...);
}

} // namespace ombrel::vantor
