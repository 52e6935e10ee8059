#include "pyautogui_input.h"

#include "../results.h"

namespace ombrel::vantor {

Coro<> press_key_pyautogui(nb::object, nb::object) {
    co_return failure("Key presses are not built yet");
}

Coro<> scroll_pyautogui(nb::object, nb::object, nb::object) {
    co_return failure("Scrolling is not built yet");
}

} // namespace ombrel::vantor
