#include "pc/vantor/backends/macos/macos.h"

#include "pc/vantor/backends/pyautogui_input.h"

namespace ombrel::vantor {

const Backend macos_backend = {
    .init = init_macos,
    .snapshot = snapshot_macos_options,
    .verify = verify_macos,
    .click = click_ref_macos,
    .type = type_ref_macos,
    .select = select_not_supported,
    .toggle = toggle_by_click<&click_ref_macos>,
    .get_focused_window = get_focused_window_macos,
    .list_windows = list_windows_macos,
    .focus_window = focus_window_macos,
    .press_key = press_key_macos,
    .scroll = scroll_pyautogui,
};

} // namespace ombrel::vantor
