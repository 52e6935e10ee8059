#include "pc/vantor/backends/linux/linux.h"

#include "pc/vantor/backends/pyautogui_input.h"

namespace ombrel::vantor {

const Backend linux_backend = {
    .init = init_linux,
    .snapshot = snapshot_linux_options,
    .verify = verify_linux,
    .click = click_ref_linux,
    .type = type_not_supported,
    .select = select_not_supported,
    .toggle = toggle_by_click<&click_ref_linux>,
    .get_focused_window = get_focused_window_linux,
    .list_windows = list_windows_linux,
    .focus_window = focus_window_linux,
    .press_key = press_key_pyautogui,
    .scroll = scroll_pyautogui,
};

} // namespace ombrel::vantor
