// Key presses on macOS.
#include "macos.h"

#include "../pyautogui_input.h"

namespace ombrel::vantor {

Coro<> press_key_macos(nb::object self, nb::object key) {
    co_return co_await press_key_pyautogui(self, key);
}

} // namespace ombrel::vantor
