// The Linux backend: the AT-SPI accessibility bus, read by a walker script
// in a child process of `LINUX_PYTHON` (`python3` unless a host says
// otherwise), and the `xdotool` command. Every child runs within a time limit
// and is killed and reaped when it overruns it.
//
// Two module attributes, read at each call, add to what it does (both off
// by default, leaving every answer as it was):
//   LINUX_ACTIONS  refs act: the walker records how to find each element
//                  again, and the actions do their work in the walker
//                  (actions.cpp);
//   LINUX_WORKER   the walker is one long-lived child per controller, asked
//                  a request a line (walker_process.cpp), instead of a new
//                  child per call.
#pragma once

#include "pc/vantor/backends/backend.h"
#include "pc/vantor/snapshot_options.h"

namespace ombrel::vantor {

extern const Backend linux_backend;

// Settings (module attributes, read now)
/// `LINUX_ACTIONS` is true.
bool linux_actions();
/// `LINUX_WORKER` is true.
bool linux_worker();
/// Either of them is: what they add besides (the window found by its
/// application, the probe's warning) is theirs too.
bool linux_extras();
/// `LINUX_PYTHON`: a str naming the interpreter (a path, or a name looked
/// up on the search path); TypeError or ValueError for anything else.
nb::str linux_python();

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
/// `_ref_window`) in a walker, its role and name compared. With
/// `LINUX_ACTIONS` set the action itself checks its element, in the same
/// walker run that acts on it: the check answers None at once.
Coro<> verify_linux(nb::object self, nb::object ref, nb::object elem_info);

// The walker (snapshot.cpp)
/// The walker's `target` for the element of a ref: None when its path or
/// window is not known.
nb::object target_of(nb::handle path, nb::handle window, nb::handle entry, const char *mode);
/// What a walker run is given: with `LINUX_WORKER` set, a request line for
/// the long-lived walker (bytes); else the script of a child of its own (a
/// str). Its settings: the window title, the depth, the options and the
/// target.
nb::object walker_job(nb::handle window_title, nb::handle max_depth,
                      const SnapshotOptions &options = {}, nb::handle target = Py_None);
/// Runs a job of `walker_job` within `seconds`: the walker's standard
/// output and standard error (bytes). The long-lived walker's standard
/// error is empty unless it ended during the request (its last lines, or
/// the status it ended with). TimeoutError when the time is up.
Coro<nb::tuple> run_walker(nb::object self, nb::object job, double seconds);
/// The long-lived walker's script: the walker with its `serve` setting.
nb::str walker_serving_script();
/// Bytes decoded as UTF-8 (undecodable bytes replaced) and stripped.
nb::str decoded(nb::handle bytes);

// The long-lived walker (walker_process.cpp)
/// Asks the controller's long-lived walker (started now when it has none,
/// or none that can answer: ended, started on another event loop, with
/// another interpreter or environment), within `seconds`: (its answer line,
/// b"") or, when it ended meanwhile, (b"", why). On time-out or
/// cancellation the walker is killed and reaped, then the error goes on.
Coro<nb::tuple> ask_walker_process(nb::object self, nb::object request, double seconds);
/// Ends the controller's long-lived walker, if any: its standard input
/// closed, then killed if it does not end within two seconds, and reaped.
Coro<> close_walker_process(nb::object self);

// Element actions (click.cpp, actions.cpp): with `LINUX_ACTIONS` set they
// act (actions.cpp); without it, click and toggle answer the failure of a
// read-only ref, type and select that of an operation not supported.
/// The failure of a click on a read-only ref (what to do instead).
Coro<> click_ref_read_only(nb::object self, nb::object ref, nb::object elem_info,
                           nb::object double_click);
Coro<> click_ref_linux(nb::object self, nb::object ref, nb::object elem_info,
                       nb::object double_click);
Coro<> type_ref_linux(nb::object self, nb::object ref, nb::object elem_info, nb::object text,
                      nb::object clear_first, nb::object press_enter);
Coro<> select_ref_linux(nb::object self, nb::object ref, nb::object elem_info, nb::object value);
Coro<> toggle_ref_linux(nb::object self, nb::object ref, nb::object elem_info);

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
