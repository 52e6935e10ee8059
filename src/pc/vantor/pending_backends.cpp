// The macOS and Linux backends are not built yet: their entry points exist
// and answer with a failure that says so.
#include "vantor.h"

#include "py.h"
#include "results.h"

#include <string>
#include <utility>

namespace ombrel::vantor {

namespace {

constexpr const char *MACOS_PENDING = "The macOS desktop backend is not built yet";
constexpr const char *LINUX_PENDING = "The Linux desktop backend is not built yet";

} // namespace

void init_macos(nb::object self) { (void)self; }

void init_linux(nb::object self) { (void)self; }

Coro<> snapshot_macos(nb::object, nb::object, nb::object) { co_return failure(MACOS_PENDING); }

Coro<> click_ref_macos(nb::object, nb::object ref, nb::object, nb::object) {
    co_return failure(MACOS_PENDING, ref);
}

Coro<> type_ref_macos(nb::object, nb::object ref, nb::object, nb::object, nb::object,
                      nb::object) {
    co_return failure(MACOS_PENDING, ref);
}

Coro<> get_focused_window_macos(nb::object) { co_return failure(MACOS_PENDING); }

Coro<> list_windows_macos(nb::object) { co_return failure(MACOS_PENDING); }

Coro<> focus_window_macos(nb::object, nb::object) { co_return failure(MACOS_PENDING); }

Coro<> snapshot_linux(nb::object, nb::object, nb::object) { co_return failure(LINUX_PENDING); }

Coro<> click_ref_linux(nb::object, nb::object ref, nb::object, nb::object) {
    co_return failure(LINUX_PENDING, ref);
}

Coro<> get_focused_window_linux(nb::object) { co_return failure(LINUX_PENDING); }

Coro<> list_windows_linux(nb::object) { co_return failure(LINUX_PENDING); }

Coro<> focus_window_linux(nb::object, nb::object) { co_return failure(LINUX_PENDING); }

long macos_keycode(nb::str key) {
    static const std::pair<const char *, long> codes[] = {
        {"return", 36},   {"enter", 36},  {"tab", 48},      {"space", 49},
        {"backspace", 51}, {"delete", 51}, {"escape", 53},  {"up", 126},
        {"down", 125},    {"left", 123},  {"right", 124},   {"home", 115},
        {"end", 119},     {"pageup", 116}, {"pagedown", 121}, {"f1", 122},
        {"f2", 120},      {"f3", 99},     {"f4", 118},      {"f5", 96},
    };
    nb::object lower = key.attr("lower")();
    for (const auto &[name, code] : codes)
        if (py::equal(lower, name))
            return code;
    return 36;
}

} // namespace ombrel::vantor
