// The macOS window operations: the frontmost window, the list of windows
// and focusing a window by title.
#include "macos.h"

#include "../../results.h"
#include "pending.h"

namespace ombrel::vantor {

Coro<> get_focused_window_macos(nb::object) { co_return failure(MACOS_PENDING); }

Coro<> list_windows_macos(nb::object) { co_return failure(MACOS_PENDING); }

Coro<> focus_window_macos(nb::object, nb::object) { co_return failure(MACOS_PENDING); }

} // namespace ombrel::vantor
