// The virtual key codes of the key names that macOS key presses send.
#include "pc/vantor/backends/macos/macos.h"

#include "pc/vantor/py.h"

#include <utility>

namespace ombrel::vantor {

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
