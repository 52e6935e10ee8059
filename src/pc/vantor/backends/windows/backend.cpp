#include "pc/vantor/backends/windows/windows.h"

#include "pc/vantor/py.h"
#include "pc/vantor/backends/pyautogui_input.h"

namespace ombrel::vantor {

namespace {

/// Typing works on the entries of the two Windows libraries only; an entry
/// of no known backend ends up here too and is refused.
Coro<> type_entry(nb::object self, nb::object ref, nb::object elem_info, nb::object text,
                  nb::object clear_first, nb::object press_enter) {
    bridge::Local<> library = entry_backend(elem_info);
    if (py::equal(library, py::names::pywinauto) || py::equal(library, py::names::uiautomation))
        co_return co_await type_ref_windows(self, ref, elem_info, text, clear_first, press_enter);
    co_return co_await type_not_supported(self, ref, elem_info, text, clear_first, press_enter);
}

} // namespace

const Backend windows_backend = {
    .init = init_windows,
    .snapshot = snapshot_windows_options,
    .verify = verify_windows,
    .click = click_ref_windows,
    .type = type_entry,
    .select = select_ref_windows,
    .toggle = toggle_ref_windows,
    .get_focused_window = get_focused_window_windows,
    .list_windows = list_windows_windows,
    .focus_window = focus_window_windows,
    .press_key = press_key_windows,
    .scroll = scroll_pyautogui,
};

} // namespace ombrel::vantor
