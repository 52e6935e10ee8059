// The Linux operations answer that they are not built yet.
#include "linux.h"

#include "../../results.h"

namespace ombrel::vantor {

namespace {
constexpr const char *LINUX_PENDING = "The Linux desktop backend is not built yet";
}

void init_linux(nb::object self) { (void)self; }

Coro<> snapshot_linux(nb::object, nb::object, nb::object) { co_return failure(LINUX_PENDING); }

Coro<> click_ref_linux(nb::object, nb::object ref, nb::object, nb::object) {
    co_return failure(LINUX_PENDING, ref);
}

Coro<> get_focused_window_linux(nb::object) { co_return failure(LINUX_PENDING); }

Coro<> list_windows_linux(nb::object) { co_return failure(LINUX_PENDING); }

Coro<> focus_window_linux(nb::object, nb::object) { co_return failure(LINUX_PENDING); }

} // namespace ombrel::vantor
