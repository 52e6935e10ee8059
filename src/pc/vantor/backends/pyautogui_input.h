// Keys and the mouse wheel through PyAutoGUI: the input of every platform
// that has no way of its own, and the fall-back of those that do.
#pragma once

#include "pc/vantor/backends/backend.h"

namespace ombrel::vantor {

Coro<> press_key_pyautogui(nb::object self, nb::object key);
Coro<> scroll_pyautogui(nb::object self, nb::object direction, nb::object amount);

} // namespace ombrel::vantor
