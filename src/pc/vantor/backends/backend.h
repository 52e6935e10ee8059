// What a desktop backend offers the controller: one table of operations per
// platform (Windows UI Automation, Linux AT-SPI and xdotool, macOS System
// Events). The controller picks a table by `SYSTEM` at each call, or by the
// "backend" of a ref-table entry, and otherwise knows no backend.
//
// Every operation takes the controller as an owning `self` and its arguments
// as the public operation received them (already checked), and answers with
// the result dictionary the caller gets.
#pragma once

#include "pc/vantor/vantor.h"

namespace ombrel::vantor {

struct Backend {
    /// Probes the platform's libraries and tools (once per controller).
    void (*init)(nb::object self);
    Coro<> (*snapshot)(nb::object self, nb::object window_title, nb::object max_depth);

    // Acting on a ref-table entry this backend made.
    Coro<> (*click)(nb::object self, nb::object ref, nb::object elem_info,
                    nb::object double_click);
    Coro<> (*type)(nb::object self, nb::object ref, nb::object elem_info, nb::object text,
                   nb::object clear_first, nb::object press_enter);
    Coro<> (*select)(nb::object self, nb::object ref, nb::object elem_info, nb::object value);
    Coro<> (*toggle)(nb::object self, nb::object ref, nb::object elem_info);

    // Windows of the desktop.
    Coro<> (*get_focused_window)(nb::object self);
    Coro<> (*list_windows)(nb::object self);
    Coro<> (*focus_window)(nb::object self, nb::object title);

    // Input to whatever has the focus.
    Coro<> (*press_key)(nb::object self, nb::object key);
    Coro<> (*scroll)(nb::object self, nb::object direction, nb::object amount);
};

/// The backend of the platform `SYSTEM` names now: "Windows", "Darwin", and
/// the Linux one for every other system.
const Backend &backend_for_system();

/// The backend that acts on an entry whose "backend" is `name`: "macos",
/// "linux_atspi", and the Windows one for every other value.
const Backend &backend_for_entry(nb::handle name);

// Answers shared by backends that cannot do an operation on their entries.

/// failure "Type not supported on this backend yet", with "ref".
Coro<> type_not_supported(nb::object self, nb::object ref, nb::object elem_info,
                          nb::object text, nb::object clear_first, nb::object press_enter);
/// failure "Select not yet supported on <the entry's backend>", with "ref".
Coro<> select_not_supported(nb::object self, nb::object ref, nb::object elem_info,
                            nb::object value);
/// Awaits `operation`: its result, or a failure with the text of the
/// Exception it raised (anything else, a cancellation say, goes on).
Coro<> result_or_failure(nb::object operation);

/// A toggle that is the backend's own single click on the entry.
template <auto Click>
Coro<> toggle_by_click(nb::object self, nb::object ref, nb::object elem_info) {
    bridge::Local<> once = nb::bool_(false);
    co_return co_await Click(self, ref, elem_info, once);
}

/// The entry's "backend", "pywinauto" when it names none.
nb::object entry_backend(nb::handle elem_info);

} // namespace ombrel::vantor
