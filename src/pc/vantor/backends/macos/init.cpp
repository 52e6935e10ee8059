// The macOS probe: everything goes through `osascript`.
#include "pc/vantor/backends/macos/macos.h"

#include "pc/vantor/py.h"

namespace ombrel::vantor {

void init_macos(nb::object self) {
    Vantor &controller = state(self);
    nb::object found = common::import_module("shutil").attr("which")("osascript");
    if (found.is_none()) {
        logger.warning("osascript not found — macOS accessibility unavailable");
        return;
    }
    controller.macos_available = true;
    logger.info("macOS AppleScript accessibility available");
}

} // namespace ombrel::vantor
