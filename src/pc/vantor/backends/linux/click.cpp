// Clicking the element of a Linux ref without `LINUX_ACTIONS`: AT-SPI refs
// are then for reading only.
#include "pc/vantor/backends/linux/linux.h"

#include "pc/vantor/results.h"

namespace ombrel::vantor {

Coro<> click_ref_read_only(nb::object self, nb::object ref, nb::object, nb::object) {
    if (!state(self).pyautogui_available)
        co_return failure("PyAutoGUI not available for clicking. Install: pip install pyautogui",
                          ref);
    nb::dict result = failure("Direct element clicking via AT-SPI2 is not yet supported. Use "
                              "screenshot + coordinate-based click instead: desktop click "
                              "x=100 y=200",
                              ref);
    result["hint"] = "Take a screenshot first, then click at the element's coordinates.";
    co_return result;
}

} // namespace ombrel::vantor
