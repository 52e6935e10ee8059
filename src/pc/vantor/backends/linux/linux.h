// The Linux backend: the AT-SPI accessibility bus, read by a walker script
// in a `python3` child process, and the `xdotool` command. Every child runs
// within a time limit and is killed and reaped when it overruns it.
#pragma once

#include "pc/vantor/backends/backend.h"

namespace ombrel::vantor {

extern const Backend linux_backend;

// Probe (init.cpp)
void init_linux(nb::object self);

// Snapshots (snapshot.cpp)
Coro<> snapshot_linux(nb::object self, nb::object window_title, nb::object max_depth);
/// The same with the options of `SnapshotOptions` (None: none); a subtree
/// is always walked through AT-SPI.
Coro<> snapshot_linux_options(nb::object self, nb::object window_title, nb::object max_depth,
                              nb::object options);
Coro<> snapshot_linux_atspi(nb::object self, nb::object window_title, nb::object max_depth);
Coro<> snapshot_linux_xdotool(nb::object self, nb::object window_title);

/// The stale check: the element found again by its path (`_ref_paths`,
/// `_ref_window`) in a `python3` child, its role and name compared.
Coro<> verify_linux(nb::object self, nb::object ref, nb::object elem_info);

// Element actions (click.cpp)
Coro<> click_ref_linux(nb::object self, nb::object ref, nb::object elem_info,
                       nb::object double_click);

// Window operations (window_ops.cpp)
Coro<> get_focused_window_linux(nb::object self);
Coro<> list_windows_linux(nb::object self);
Coro<> focus_window_linux(nb::object self, nb::object title);

// xdotool (xdotool.cpp)
/// Runs `xdotool <arguments...>` within `timeout` seconds; its standard
/// output decoded as strict UTF-8 and stripped. Its exit status and
/// standard error are not looked at.
Coro<> xdotool(nb::list arguments, double timeout);
/// The first line of `output`, decoded and stripped.
nb::str first_line(nb::str output);

} // namespace ombrel::vantor
