// Key presses on Windows: pywinauto's `send_keys` on the loop's default
// executor, or PyAutoGUI when pywinauto is missing.
#include "pc/vantor/backends/windows/windows.h"

#include "pc/vantor/py.h"
#include "pc/vantor/results.h"
#include "pc/vantor/backends/pyautogui_input.h"

#include <utility>

namespace ombrel::vantor {

namespace {

/// The `send_keys` notation of a key name; null for a name it has none for.
const char *mapped(nb::handle name) {
    static const std::pair<const char *, const char *> key_map[] = {
        {"enter", "{ENTER}"},   {"tab", "{TAB}"},       {"escape", "{ESC}"},
        {"backspace", "{BACKSPACE}"}, {"delete", "{DELETE}"}, {"up", "{UP}"},
        {"down", "{DOWN}"},     {"left", "{LEFT}"},     {"right", "{RIGHT}"},
        {"home", "{HOME}"},     {"end", "{END}"},       {"pageup", "{PGUP}"},
        {"pagedown", "{PGDN}"}, {"f1", "{F1}"},         {"f2", "{F2}"},
        {"f3", "{F3}"},         {"f4", "{F4}"},         {"f5", "{F5}"},
        {"space", " "},
    };
    for (const auto &[key, sent] : key_map)
        if (py::equal(name, key))
            return sent;
    return nullptr;
}

/// The `send_keys` prefix of a modifier; null for any other part.
const char *modifier(nb::handle part) {
    static const std::pair<const char *, const char *> modifiers[] = {
        {"ctrl", "^"}, {"control", "^"}, {"alt", "%"},
        {"shift", "+"}, {"win", "#"},    {"windows", "#"},
    };
    for (const auto &[name, prefix] : modifiers)
        if (py::equal(part, name))
            return prefix;
    return nullptr;
}

nb::object key_or_mapped(nb::handle name, nb::handle unmapped) {
    const char *sent = mapped(name);
    return sent ? nb::object(nb::str(sent)) : nb::borrow(unmapped);
}

/// What `send_keys` gets for `key`: modifier prefixes and the mapped last
/// part of a combination; an unmapped single key keeps its case.
nb::object send_keys_text(nb::str key) {
    nb::object lower = key.attr("lower")();
    nb::str plus("+");
    if (!py::contains(key, plus))
        return key_or_mapped(lower, key);
    nb::list parts = nb::borrow<nb::list>(lower.attr("split")(plus));
    Py_ssize_t last = common::list_size(parts.ptr()) - 1;
    nb::list pieces;
    for (Py_ssize_t i = 0; i < last; ++i)
        if (const char *prefix = modifier(parts[i]))
            pieces.append(prefix);
    pieces.append(key_or_mapped(parts[last], parts[last]));
    return nb::str("").attr("join")(pieces);
}

void send_keys_sync(nb::object send_keys, nb::object keys) { send_keys(keys); }

Coro<> send_key(nb::object key) {
    bridge::Local<> send_keys = py::import_from("pywinauto.keyboard", "send_keys");
    bridge::Local<> keys = send_keys_text(nb::borrow<nb::str>(key));
    co_await bridge::run_in_executor<&send_keys_sync>(send_keys, keys);
    co_return key_pressed(key);
}

} // namespace

Coro<> press_key_windows(nb::object self, nb::object key) {
    if (!state(self).pywinauto_available)
        co_return co_await press_key_pyautogui(self, key);
    co_return co_await result_or_failure<&send_key>(key);
}

} // namespace ombrel::vantor
