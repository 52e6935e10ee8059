// The macOS backend: AppleScript for System Events, run by `osascript`
// child processes.
#pragma once

#include "pc/vantor/backends/backend.h"

namespace ombrel::vantor {

extern const Backend macos_backend;

void init_macos(nb::object self);
Coro<> snapshot_macos(nb::object self, nb::object window_title, nb::object max_depth);
/// The same with the options of `SnapshotOptions` (None: none).
Coro<> snapshot_macos_options(nb::object self, nb::object window_title, nb::object max_depth,
                              nb::object options);
/// The stale check: the element found again by role and name.
Coro<> verify_macos(nb::object self, nb::object ref, nb::object elem_info);
Coro<> click_ref_macos(nb::object self, nb::object ref, nb::object elem_info,
                       nb::object double_click);
Coro<> type_ref_macos(nb::object self, nb::object ref, nb::object elem_info, nb::object text,
                      nb::object clear_first, nb::object press_enter);
Coro<> get_focused_window_macos(nb::object self);
Coro<> list_windows_macos(nb::object self);
Coro<> focus_window_macos(nb::object self, nb::object title);
Coro<> press_key_macos(nb::object self, nb::object key);

/// `_macos_keycode(key)`: the virtual key code of a key name.
long macos_keycode(nb::str key);

} // namespace ombrel::vantor
