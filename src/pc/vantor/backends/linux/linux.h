// The Linux backend: the AT-SPI accessibility bus, read by a walker script
// in a `python3` child process, and the `xdotool` command.
#pragma once

#include "../backend.h"

namespace ombrel::vantor {

extern const Backend linux_backend;

void init_linux(nb::object self);
Coro<> snapshot_linux(nb::object self, nb::object window_title, nb::object max_depth);
Coro<> click_ref_linux(nb::object self, nb::object ref, nb::object elem_info,
                       nb::object double_click);
Coro<> get_focused_window_linux(nb::object self);
Coro<> list_windows_linux(nb::object self);
Coro<> focus_window_linux(nb::object self, nb::object title);

} // namespace ombrel::vantor
