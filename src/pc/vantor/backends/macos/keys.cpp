// Key presses on macOS: System Events through `osascript`, or PyAutoGUI
// when `osascript` was not found.
#include "pc/vantor/backends/macos/macos.h"

#include "pc/vantor/py.h"
#include "pc/vantor/results.h"
#include "pc/vantor/backends/pyautogui_input.h"
#include "pc/vantor/backends/macos/scripts.h"

#include <utility>

namespace ombrel::vantor {

using macos::Scripts;

namespace {

/// The entry of a modifier in the `using` list; null for any other part.
const char *modifier(nb::handle part) {
    static const std::pair<const char *, const char *> modifiers[] = {
        {"ctrl", "control down"},  {"control", "control down"}, {"alt", "option down"},
        {"shift", "shift down"},   {"cmd", "command down"},     {"command", "command down"},
        {"super", "command down"},
    };
    for (const auto &[name, entry] : modifiers)
        if (py::equal(part, name))
            return entry;
    return nullptr;
}

/// Names sent as key codes rather than typed.
bool is_special(nb::handle key) {
    static const char *const special[] = {"enter", "tab",  "escape", "backspace", "delete",
                                          "up",    "down", "left",   "right",     "space"};
    for (const char *name : special)
        if (py::equal(key, name))
            return true;
    return false;
}

/// The script that presses `key`: a combination is a keystroke of its last
/// part using the modifiers before it; a special name a key code; anything
/// else is typed as text.
nb::str key_script(nb::str key) {
    nb::str lower = nb::borrow<nb::str>(key.attr("lower")());
    nb::str plus("+");
    if (py::contains(lower, plus)) {
        nb::list parts = nb::borrow<nb::list>(lower.attr("split")(plus));
        Py_ssize_t last = common::list_size(parts.ptr()) - 1;
        nb::list modifiers;
        for (Py_ssize_t i = 0; i < last; ++i)
            if (const char *entry = modifier(parts[i]))
                modifiers.append(entry);
        nb::object joined = nb::str(", ").attr("join")(modifiers);
        nb::object pressed = parts[last];
        return macos::fill(Scripts::keystroke_using, {{"key", pressed}, {"modifiers", joined}});
    }
    if (is_special(lower)) {
        nb::object code = nb::int_(macos_keycode(lower));
        return macos::fill(Scripts::key_code, {{"code", code}});
    }
    return macos::fill(Scripts::keystroke, {{"key", lower}});
}

Coro<> press(nb::object key) {
    bridge::Local<nb::str> script = key_script(nb::borrow<nb::str>(key));
    // What System Events makes of the script is not reported back.
    co_await macos::run(script, 5.0);
    co_return key_pressed(key);
}

} // namespace

Coro<> press_key_macos(nb::object self, nb::object key) {
    if (!state(self).macos_available)
        co_return co_await press_key_pyautogui(self, key);
    co_return co_await result_or_failure<&press>(key);
}

} // namespace ombrel::vantor
